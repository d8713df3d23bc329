// Fault injection by count: an Env that numbers every file operation of a kind (the writes, the
// flushes, the renames, the creates, the copies, the reads) and fails or kills the process at a
// chosen one, so that a test can walk a job through every point where it touches the disk.
#pragma once

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace zkq::test {

enum class Op { kWrite, kFlush, kRename, kCreate, kCopy, kRead };
const char* OpName(Op op);

class CountingFaultEnv : public platform::EnvWrapper {
 public:
  enum class Action { kFail, kKill };

  explicit CountingFaultEnv(platform::Env* target) : EnvWrapper(target) {}

  // The `n`-th operation of `op` from now on (1 = the next one) fails, or kills the process.
  void Arm(Op op, int64_t n, Action action = Action::kFail) {
    armed_ = op;
    at_ = n;
    action_ = action;
    fired_ = false;
    counts_.clear();
  }
  void Disarm() { at_ = 0; }
  bool Fired() const { return fired_; }
  int64_t Count(Op op) const {
    const auto it = counts_.find(op);
    return it == counts_.end() ? 0 : it->second;
  }
  void ResetCounts() { counts_.clear(); }

  // True when this operation is to fail (the process is killed instead where armed so).
  bool Hit(Op op);

  std::unique_ptr<platform::RandomRWFile> Open(const std::filesystem::path& path,
                                               platform::OpenMode mode,
                                               std::error_code& ec) override;
  std::error_code Rename(const std::filesystem::path& from,
                         const std::filesystem::path& to) override;
  std::error_code Link(const std::filesystem::path& existing,
                       const std::filesystem::path& newPath) override;
  std::error_code SyncDir(const std::filesystem::path& dir) override;
  std::error_code CreateDir(const std::filesystem::path& dir) override;
  std::error_code CopyFile(const std::filesystem::path& from,
                           const std::filesystem::path& to) override;
  std::error_code CloneFile(const std::filesystem::path& from,
                            const std::filesystem::path& to) override;

 private:
  std::map<Op, int64_t> counts_;
  Op armed_ = Op::kWrite;
  int64_t at_ = 0;
  Action action_ = Action::kFail;
  bool fired_ = false;
};

// The reason a failed operation gives.
std::error_code InjectedFault();

// Every file below the folders (path relative to the folder it was found in, prefixed with that
// folder's index) with its bytes and permission bits, links as "-> target".
using Snapshot = std::map<std::string, std::string>;
Snapshot TakeSnapshot(const std::vector<std::filesystem::path>& dirs);
// A readable difference of two snapshots (empty when equal).
std::string SnapshotDifference(const Snapshot& expected, const Snapshot& actual);

// Replaces the contents of `to` with a copy of `from` (both folders).
void CopyFolderContents(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace zkq::test
