#include "common/progress_log.h"

#include <algorithm>
#include <cmath>

#include "common/datetime.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/textfile.h"
#include "platform/env.h"
#include "platform/staging.h"

namespace zkq {

namespace {
const std::filesystem::path kLogFile = "Log.txt";
}

ProgressLog& Log() {
  static ProgressLog log;
  return log;
}

namespace {
constexpr size_t kSpillAt = size_t{4} << 20;
}

ProgressLog::~ProgressLog() {
  ClearStored();
}

void ProgressLog::AppendStored(std::string_view bytes) {
  tail_.append(bytes);
  if (tail_.size() < kSpillAt) return;
  if (spool_ == nullptr) spool_ = std::tmpfile();
  if (spool_ != nullptr && std::fseek(spool_, 0, SEEK_END) == 0 &&
      std::fwrite(tail_.data(), 1, tail_.size(), spool_) == tail_.size()) {
    spooled_ += tail_.size();
    tail_.clear();
  }
  // Without a temporary file the lines simply stay in memory.
}

std::string ProgressLog::StoredBytes() const {
  std::string all;
  if (spool_ != nullptr && spooled_ > 0) {
    all.resize(static_cast<size_t>(spooled_));
    std::rewind(spool_);
    const size_t got = std::fread(all.data(), 1, all.size(), spool_);
    all.resize(got);
  }
  all += tail_;
  return all;
}

void ProgressLog::ClearStored() {
  tail_.clear();
  if (spool_ != nullptr) std::fclose(spool_);
  spool_ = nullptr;
  spooled_ = 0;
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
  // A job logs tens of thousands of lines a second: the stamp is formatted once a second.
  const TDateTime now = platform::CurrentEnv()->Now();
  const CivilDateTime t = DecodeDateTime(now);
  const bool midnight = now == std::floor(now);
  if (stamp_.empty() || t.second != stampTime_.second || t.minute != stampTime_.minute ||
      t.hour != stampTime_.hour || t.day != stampTime_.day || t.month != stampTime_.month ||
      t.year != stampTime_.year || midnight != stampMidnight_) {
    stamp_ = TimeStamp(now);
    stampTime_ = t;
    stampMidnight_ = midnight;
  }
  std::string entry = stamp_;
  entry += ' ';
  entry += text;
  AppendStored(entry);
  AppendStored("\r\n");
  status_.assign(text);
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
  // Written beside "Log.txt" and renamed over it, from the spool file in large pieces.
  platform::Env* env = platform::CurrentEnv();
  const std::filesystem::path temp = platform::SiblingTempPath(kLogFile);
  std::error_code ec;
  auto out = platform::CreateTempFile(temp, ec);
  if (!out) throw FileError(temp, ec.message());
  bool ok = true;
  int64_t offset = 0;
  if (spool_ != nullptr && spooled_ > 0) {
    std::rewind(spool_);
    std::vector<char> buf(size_t{1} << 20);
    uint64_t left = spooled_;
    while (ok && left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
      const size_t got = std::fread(buf.data(), 1, want, spool_);
      ok = got == want && out->Write(offset, buf.data(), got);
      offset += static_cast<int64_t>(got);
      left -= got;
    }
  }
  ok = ok && out->Write(offset, tail_.data(), tail_.size()) && out->Sync();
  ec = out->LastError();
  ok = out->Close() && ok;
  out.reset();
  if (ok) ec = env->Rename(temp, kLogFile);
  if (ok && !ec) ec = env->SyncDir(".");
  if (!ok || ec) {
    env->RemoveFile(temp);
    throw FileError(kLogFile, ec ? ec.message() : std::string("write failed"));
  }
  if (auto* staging = platform::CurrentStaging()) {
    // In a job the file reaches the disk with the job's other files, and is no part of its
    // restore point. Until then the lines stay: a job that fails keeps them for the next save.
    staging->WithoutBackup(kLogFile);
    const uint64_t saved = spooled_ + tail_.size();
    staging->OnCommitted([this, saved] {
      std::lock_guard lock(mutex_);
      DropStoredLocked(saved);
    });
    return;
  }
  ClearStored();
}

void ProgressLog::DropStoredLocked(uint64_t bytes) {
  if (spooled_ + tail_.size() <= bytes) {
    ClearStored();
    return;
  }
  const std::string rest = StoredBytes().substr(static_cast<size_t>(bytes));
  ClearStored();
  AppendStored(rest);
}

void ProgressLog::LoadLogFile() {
  std::lock_guard lock(mutex_);
  ClearStored();
  if (!platform::CurrentEnv()->Exists(kLogFile)) return;
  for (const std::string& line : ReadTextLines(kLogFile)) {
    AppendStored(line);
    AppendStored("\r\n");
  }
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
  return SplitLines(StoredBytes());
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
  ClearStored();
  status_ = ":";
  stamp_.clear();
  visible_ = false;
  percent_ = 0;
  totalParts_ = 0;
  partsComplete_ = 0;
  std::lock_guard qlock(queueMutex_);
  queued_.clear();
}

}  // namespace zkq
