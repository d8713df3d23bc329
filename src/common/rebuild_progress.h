// How the character data compaction reports its progress to whoever shows it.
#pragma once

#include <cstdint>

namespace zkq {

class RebuildProgressSink {
 public:
  virtual ~RebuildProgressSink() = default;
  // Called before every record read of the compaction, the last read (the one that finds the
  // end) included: (records copied so far + 1, the old file's SlotCount). Must return at once
  // without waiting for the receiver; the compaction goes on meanwhile.
  virtual void PostRebuildProgress(int32_t copiedPlusOne, int32_t oldSlotCount) = 0;
};

}  // namespace zkq
