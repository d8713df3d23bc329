// The progress and log model: the lines a job reports, the progress bar's values, and the log
// file "Log.txt" in the current folder. The window and the console display it; neither owns
// what it holds.
//
// Every operation is safe from any thread. One mutex orders them, so the lines of each thread
// keep their order. Observers are called with that mutex held and must neither block nor call
// back into the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/datetime.h"
#include "common/rebuild_progress.h"

namespace zkq {

class ProgressLog : public RebuildProgressSink {
 public:
  class Observer {
   public:
    virtual ~Observer() = default;
    // A line was added: `entry` is the stored line (time stamp, blank, text), `text` the
    // status text. `fromLogLine` is true for LogLine (which shows the window) and false for
    // LogProgress (which does not).
    virtual void OnLine(const std::string& entry, const std::string& text, bool fromLogLine) = 0;
    // The bar changed.
    virtual void OnBar(uint16_t /*percent*/, uint32_t /*totalParts*/) {}
    // A rebuild notification is waiting for DeliverQueued() on the displaying thread.
    virtual void OnQueued() {}
  };

  void AddObserver(Observer* observer);
  void RemoveObserver(Observer* observer);

  // Adds "time stamp, blank, text" and shows the window.
  void LogLine(std::string_view text);
  // Sets Percent from position / total (0 when total <= 0) and adds the line without showing
  // the window.
  void LogProgress(std::string_view text, int32_t position, int32_t total);
  // Writes every line to "Log.txt" in the current folder, then empties the list. Throws
  // FileError when the file cannot be written; the lines are then kept. In a job the file is
  // switched in with the job's other files, and the lines are forgotten only once it is.
  void SaveLog();
  // Reads "Log.txt" of the current folder into the list, when it exists (program start).
  void LoadLogFile();

  // The bar. Assigning the value a setting already has does nothing; a new TotalParts also
  // resets PartsComplete and Percent to 0.
  void SetPercent(uint16_t percent);
  void SetTotalParts(uint32_t totalParts);
  uint16_t Percent() const;
  uint32_t TotalParts() const;
  uint32_t PartsComplete() const;

  std::vector<std::string> Lines() const;
  // The latest text; ":" before the first one.
  std::string Status() const;
  bool Visible() const;
  void Hide();

  // The character data rebuild's notification: queued, handled by DeliverQueued() on the
  // displaying thread as LogProgress("重建数据库Kem.Db", position, total). Never blocks.
  void PostRebuildProgress(int32_t copiedPlusOne, int32_t oldSlotCount) override;
  // Handles the queued notifications in order; returns how many.
  size_t DeliverQueued();

  // Back to the state of a program start without "Log.txt" (tests).
  void Reset();

  ProgressLog() = default;
  ~ProgressLog() override;
  ProgressLog(const ProgressLog&) = delete;
  ProgressLog& operator=(const ProgressLog&) = delete;

  // The Percent that LogProgress sets: position / total * 100 rounded half to even, kept as
  // the 16-bit value the bar stores.
  static uint16_t PercentOf(int32_t position, int32_t total);
  // "yyyy-MM-dd HH:mm:ss", without the time when it is exactly midnight.
  static std::string TimeStamp(TDateTime when);

 private:
  void AddLocked(std::string_view text, bool fromLogLine);
  void SetPercentLocked(uint16_t percent);

  // The lines as "Log.txt" will hold them (CR LF after each). Those beyond a few megabytes go
  // to an anonymous temporary file, so a job over hundreds of thousands of records does not
  // hold its progress lines in memory.
  void AppendStored(std::string_view bytes);
  std::string StoredBytes() const;
  void ClearStored();
  // Forgets the first `bytes` stored bytes (lines a job's committed save wrote).
  void DropStoredLocked(uint64_t bytes);

  mutable std::mutex mutex_;
  std::vector<Observer*> observers_;
  std::string tail_;            // stored bytes not yet in the spool file
  std::FILE* spool_ = nullptr;  // earlier stored bytes, or null
  uint64_t spooled_ = 0;
  std::string status_ = ":";
  std::string stamp_;  // TimeStamp of the last line, and the time it was made for
  CivilDateTime stampTime_;
  bool stampMidnight_ = false;
  bool visible_ = false;
  uint16_t percent_ = 0;
  uint32_t totalParts_ = 0;
  uint32_t partsComplete_ = 0;
  std::mutex queueMutex_;
  std::deque<std::pair<int32_t, int32_t>> queued_;
};

// The one log of the process.
ProgressLog& Log();

}  // namespace zkq
