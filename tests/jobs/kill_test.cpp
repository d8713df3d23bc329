// A job killed at any moment leaves its zone either exactly as it was or, once the next start
// has completed an unfinished switch, exactly as a finished job leaves it: never a mixture.
// Each run forks a child that runs the job and is killed (SIGKILL, as a power cut or `kill -9`
// would end it) at one chosen file operation; the parent then starts over as the next job would
// and compares every file with the two states.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "jobs/job.h"
#include "jobs/job_frame.h"
#include "support/bytes.h"
#include "support/fault_env.h"
#include "support/test_support.h"
#include "support/zones.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::CountingFaultEnv;
using test::Op;
using test::Snapshot;
using test::Zone;

struct Scenario {
  const char* name;
  std::function<void(const fs::path& work)> build;
  JobParams (*params)(const fs::path& work);
};

// CTest shows a case by its name rather than by its bytes.
void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

JobParams ServerParams(const fs::path& w) {
  JobParams p;
  p.Mode = 4;
  const Zone main{w / "main"}, slave{w / "slave"};
  p.Param = {main.id().string(),   slave.id().string(), main.hum().string(),
             slave.hum().string(), main.kem().string(), slave.kem().string()};
  return p;
}

JobParams CleanParams(const fs::path& w) {
  JobParams p;
  p.Mode = 7;
  const Zone z{w / "main"};
  p.Param = {z.id().string(), z.hum().string(), z.kem().string(), "2020-01-01", "35", "1"};
  return p;
}

const Scenario kScenarios[] = {
    {"server_merge",
     [](const fs::path& w) {
       test::MakeZone({w / "main"}, {"AMY", "BEN"}, {{"KING", "AMY"}, {"QUEEN", "BEN"}});
       test::MakeZone({w / "slave"}, {"BEN", "CAT"}, {{"QUEEN", "BEN"}, {"ROOK", "CAT"}});
     },
     ServerParams},
    {"cleanup",
     [](const fs::path& w) {
       const Zone z = test::MakeZone({w / "main"}, {"AMY", "BEN", "CAT"},
                                     {{"KING", "AMY"}, {"QUEEN", "BEN"}, {"ROOK", "CAT"}});
       // QUEEN stays: a high level and a recent record.
       std::string kem = test::ReadBytes(z.kem());
       const size_t at = test::kHeaderSize + test::kKemRecordSize;
       test::PutLe16(kem, at + 72, 90);
       test::PutDouble(kem, at + 4, 46000.0);
       test::WriteBytes(z.kem(), kem);
     },
     CleanParams},
};

class KillTest : public test::FileTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  KillTest() : faults_(&env_), scoped_(&faults_) {}
  ~KillTest() override { ClearProgramDirOverride(); }

  void Fresh() {
    test::CopyFolderContents(pristine_.path(), work_.path());
    fs::current_path(work_ / "cwd");
    SetProgramDirOverride(work_ / "prog");
    Log().Reset();
    ResetProcessState();
    env_.clock = 46000.0;
  }

  std::vector<fs::path> Folders() const {
    return {work_ / "main", work_ / "slave", work_ / "prog", work_ / "cwd"};
  }

  // Runs the job in a child killed at the `n`-th operation `op`; true when it was killed.
  bool RunKilled(Op op, int64_t n) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      faults_.Arm(op, n, CountingFaultEnv::Action::kKill);
      RunJob(GetParam().params(work_.path()));
      ::_exit(0);  // the point lies beyond the job's last operation
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  test::TempDir pristine_, work_;
  CountingFaultEnv faults_;
  platform::ScopedEnv scoped_;
};

TEST_P(KillTest, AKilledJobLeavesTheOriginalOrTheCompletedZone) {
  fs::create_directories(work_ / "prog");
  fs::create_directories(work_ / "cwd");
  GetParam().build(work_.path());
  test::CopyFolderContents(work_.path(), pristine_.path());
  Fresh();
  const Snapshot before = test::TakeSnapshot({work_.path()});
  faults_.ResetCounts();
  ASSERT_EQ(RunJob(GetParam().params(work_.path())), JobResult::kSucceeded);
  const Snapshot done = test::TakeSnapshot({work_.path()});
  std::vector<std::pair<Op, int64_t>> points;
  // Every rename and flush (the switch and the moments around it), and a spread of the writes
  // and creates while the job stages its files.
  for (const Op op : {Op::kRename, Op::kFlush, Op::kWrite, Op::kCreate}) {
    const int64_t total = faults_.Count(op);
    const int64_t step =
        op == Op::kRename || op == Op::kFlush ? 1 : std::max<int64_t>(1, total / 6);
    for (int64_t n = 1; n <= total; n += step) points.emplace_back(op, n);
  }

  int original = 0, completed = 0;
  for (const auto& [op, n] : points) {
    SCOPED_TRACE(std::string(test::OpName(op)) + " #" + std::to_string(n));
    Fresh();
    ASSERT_TRUE(RunKilled(op, n));
    // The next start on these folders: what the command line does before anything else.
    RecoverFolders(Folders());
    const Snapshot after = test::TakeSnapshot({work_.path()});
    if (after == before) {
      ++original;
    } else {
      EXPECT_EQ(test::SnapshotDifference(done, after), "") << "neither the original nor the result";
      ++completed;
    }
    if (HasFailure()) return;
  }
  std::printf("[ kill points ] %s: %zu, %d left the original zone, %d the completed one\n",
              GetParam().name, points.size(), original, completed);
  // Both outcomes occur: kills before the journal is complete, and kills during the switch.
  EXPECT_GT(original, 0);
  EXPECT_GT(completed, 0);
}

INSTANTIATE_TEST_SUITE_P(Jobs, KillTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace zkq
