#include "platform/lock.h"

namespace zkq::platform {

ReentrantLock& CharacterFilesLock() {
  static ReentrantLock lock;
  return lock;
}

}  // namespace zkq::platform
