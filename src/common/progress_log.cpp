#include "common/progress_log.h"

#include <algorithm>
#include <cmath>

#include "common/datetime.h"
#include "common/gbk.h"
#include "common/textfile.h"
#include "platform/env.h"

namespace zkq {

namespace {
const std::filesystem::path kLogFile = "Log.txt";
}

ProgressLog& Log() {
  static ProgressLog log;
  return log;
}

void ProgressLog::AddObserver(Observer* observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(observer);
}

void ProgressLog::RemoveObserver(Observer* observer) {
  std::lock_guard lock(mutex_);
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

std::string ProgressLog::TimeStamp(TDateTime when) {
  std::string stamp = FormatShortDate(when);
  if (when != std::floor(when)) stamp += " " + FormatLongTime(when);
  return stamp;
}

uint16_t ProgressLog::PercentOf(int32_t position, int32_t total) {
  if (total <= 0) return 0;
  const double exact = static_cast<double>(position) / static_cast<double>(total) * 100.0;
  const double rounded = std::nearbyint(exact);  // the default rounding: half to even
  return static_cast<uint16_t>(static_cast<int64_t>(rounded));
}

void ProgressLog::AddLocked(std::string_view text, bool fromLogLine) {
  std::string entry = TimeStamp(platform::CurrentEnv()->Now());
  entry += ' ';
  entry += text;
  lines_.push_back(entry);
  status_ = std::string(text);
  if (fromLogLine) visible_ = true;
  for (Observer* o : observers_) o->OnLine(entry, status_, fromLogLine);
}

void ProgressLog::LogLine(std::string_view text) {
  std::lock_guard lock(mutex_);
  AddLocked(text, true);
}

void ProgressLog::LogProgress(std::string_view text, int32_t position, int32_t total) {
  std::lock_guard lock(mutex_);
  SetPercentLocked(PercentOf(position, total));
  AddLocked(text, false);
}

void ProgressLog::SaveLog() {
  std::lock_guard lock(mutex_);
  WriteTextLines(kLogFile, lines_);
  lines_.clear();
}

void ProgressLog::LoadLogFile() {
  std::lock_guard lock(mutex_);
  lines_.clear();
  if (platform::CurrentEnv()->Exists(kLogFile)) lines_ = ReadTextLines(kLogFile);
}

void ProgressLog::SetPercentLocked(uint16_t percent) {
  if (percent == percent_) return;
  percent_ = percent;
  for (Observer* o : observers_) o->OnBar(percent_, totalParts_);
}

void ProgressLog::SetPercent(uint16_t percent) {
  std::lock_guard lock(mutex_);
  SetPercentLocked(percent);
}

void ProgressLog::SetTotalParts(uint32_t totalParts) {
  std::lock_guard lock(mutex_);
  if (totalParts == totalParts_) return;
  totalParts_ = totalParts;
  partsComplete_ = 0;
  percent_ = 0;
  for (Observer* o : observers_) o->OnBar(percent_, totalParts_);
}

uint16_t ProgressLog::Percent() const {
  std::lock_guard lock(mutex_);
  return percent_;
}

uint32_t ProgressLog::TotalParts() const {
  std::lock_guard lock(mutex_);
  return totalParts_;
}

uint32_t ProgressLog::PartsComplete() const {
  std::lock_guard lock(mutex_);
  return partsComplete_;
}

std::vector<std::string> ProgressLog::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string ProgressLog::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

bool ProgressLog::Visible() const {
  std::lock_guard lock(mutex_);
  return visible_;
}

void ProgressLog::Hide() {
  std::lock_guard lock(mutex_);
  visible_ = false;
}

void ProgressLog::PostRebuildProgress(int32_t copiedPlusOne, int32_t oldSlotCount) {
  {
    std::lock_guard lock(queueMutex_);
    queued_.emplace_back(copiedPlusOne, oldSlotCount);
  }
  // Observers are told under the log's own mutex only when it is free, so that posting never
  // waits for a thread that is busy displaying.
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (lock.owns_lock())
    for (Observer* o : observers_) o->OnQueued();
}

size_t ProgressLog::DeliverQueued() {
  static const std::string text = Gbk("重建数据库Kem.Db");
  std::deque<std::pair<int32_t, int32_t>> batch;
  {
    std::lock_guard lock(queueMutex_);
    batch.swap(queued_);
  }
  for (const auto& [position, total] : batch) LogProgress(text, position, total);
  return batch.size();
}

void ProgressLog::Reset() {
  std::lock_guard lock(mutex_);
  lines_.clear();
  status_ = ":";
  visible_ = false;
  percent_ = 0;
  totalParts_ = 0;
  partsComplete_ = 0;
  std::lock_guard qlock(queueMutex_);
  queued_.clear();
}

}  // namespace zkq
