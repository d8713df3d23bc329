// The batch multi-zone merge: any number of slave zones merged one after another into one main
// zone, as a batch configuration file (section "多区合并") names them.
#pragma once

#include <filesystem>
#include <functional>

namespace zkq {

struct BatchOutcome {
  int slaveCount = 0;          // "从区个数"
  int processed = 0;           // slave zones merged (none when the batch did not complete)
  bool summaryLogged = false;  // the batch ran to its summary line and saved the log
  bool aborted = false;        // an error ended it (logged as "作业中止: ...")
  // Every slave zone was merged and the summary written.
  bool Complete() const { return summaryLogged && processed == (slaveCount > 0 ? slaveCount : 0); }
};

// The batch. The configuration file is GBK text, or UTF-8 when its bytes are valid UTF-8 and
// hold non-ASCII text (a leading byte-order mark is dropped).
BatchOutcome RunBatch(const std::filesystem::path& configFile);

// The batch's worker: queued on the one job queue like every job, so it never overlaps one.
class TBatImportThread {
 public:
  static void Create(std::filesystem::path configFile,
                     std::function<void(const BatchOutcome&)> done = nullptr);
};

}  // namespace zkq
