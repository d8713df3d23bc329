// Re-entrant locks for the database files. A file object takes its lock in OpenFile and
// releases it in CloseFile, so the lock is taken and released by separate calls; the thread
// that holds it may take it again, each take matched by one release.
#pragma once

#include <mutex>

namespace zkq::platform {

class ReentrantLock {
 public:
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// The one lock of the process shared by every character index file and character data file.
ReentrantLock& CharacterFilesLock();

}  // namespace zkq::platform
