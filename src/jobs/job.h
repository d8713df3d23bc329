// Jobs: one operation (or, for the server merge, a fixed sequence of them) with its start, end
// and failure lines, run off the thread that started it. Jobs go through one queue and never
// overlap, because they share the rename maps, the item counter and the files they name.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/bytes.h"

namespace zkq {

// What a job does. Param1..Param6 are host texts (paths as the user gave them, numbers, dates);
// a parameter a mode does not use is empty.
struct JobParams {
  uint32_t Mode = 0;
  std::array<std::string, 6> Param;  // Param[0] is Param1
};

enum class JobResult {
  kNoSuchMode,  // a mode without a row: ended at once, nothing logged
  kSucceeded,   // the operation (for mode 4: the upgrades and the first two merges) returned true
  kFailed,      // the operation returned false
  kAborted,     // an error ended the job; it was logged as "作业中止: ..."
};

// Text to value as the cleanup jobs read their parameters: a decimal integer, 0 when the text
// is not one.
int32_t JobIntegerParam(const std::string& text);
// A date in the short date format "yyyy-MM-dd" (month and day may have one digit) at 00:00; the
// date-time 0 when the text is not a valid date.
TDateTime JobDateParam(const std::string& text);

// Logs the error that ended a job or a batch as one line: "作业中止: " with the reason (and the
// path, for a file error). A job never ends silently.
void LogJobAbort(const std::exception& error);

// The thread body of a job: dispatch on the mode, log the lines, catch and log any error.
JobResult RunJob(const JobParams& params);

// The one queue of the process: jobs run one after another on a worker thread of their own.
class JobQueue {
 public:
  using Done = std::function<void(JobResult)>;

  static JobQueue& Instance();
  ~JobQueue();

  // Queues a job; `done` (optional) is called on the worker thread when it has ended.
  void Submit(JobParams params, Done done = nullptr);
  // Queues any work to run in turn with the jobs (the batch merge uses it).
  void SubmitWork(std::function<void()> work);
  // Waits until every queued job has ended.
  void WaitIdle();
  bool Idle();

 private:
  JobQueue() = default;
  void Worker();

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> pending_;
  bool running_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

// The worker of one job, as the window and the command line start it: the job is queued on the
// one JobQueue and runs once the jobs before it have ended. Nobody holds or waits for it;
// `done` (optional) learns the result on the worker thread.
class TImportThread {
 public:
  static void Create(JobParams params, JobQueue::Done done = nullptr) {
    JobQueue::Instance().Submit(std::move(params), std::move(done));
  }
};

}  // namespace zkq
