// Restore points: a job that changes database files leaves the originals of every file it
// replaced beside them, and the restore puts them back, byte for byte, the same all-or-nothing
// way; the files it replaces become a restore point of their own. Also what the switch keeps of
// a file (its mode bits) and what it never does (write through a link planted at one of its
// names).
#include "jobs/restore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "jobs/job.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "support/fault_env.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/zones.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::G;
using test::Lines;
using test::ReadBytes;
using test::Snapshot;
using test::WriteBytes;
using test::Zone;

class RestoreTest : public test::FileTest {
 protected:
  RestoreTest() {
    fs::create_directories(prog_);
    fs::create_directories(cwd_);
    fs::current_path(cwd_);
    SetProgramDirOverride(prog_);
    Log().Reset();
    main_ = test::MakeZone({dir_ / "main"}, {"AMY", "BEN"}, {{"KING", "AMY"}, {"QUEEN", "BEN"}});
    slave_ = test::MakeZone({dir_ / "slave"}, {"BEN", "CAT"}, {{"QUEEN", "BEN"}, {"ROOK", "CAT"}});
  }
  ~RestoreTest() override { ClearProgramDirOverride(); }

  JobParams Server() const {
    JobParams p;
    p.Mode = 4;
    p.Param = {main_.id().string(),   slave_.id().string(), main_.hum().string(),
               slave_.hum().string(), main_.kem().string(), slave_.kem().string()};
    return p;
  }
  // The zones and the program folder.
  Snapshot Files() const { return test::TakeSnapshot({main_.dir, slave_.dir, prog_}); }
  // The same without this system's own files (backups, restore point lists).
  Snapshot DataFiles() const {
    Snapshot s = Files();
    std::erase_if(s, [](const auto& e) {
      return platform::IsInternalName(fs::path(e.first).filename()) ||
             fs::path(e.first).filename().string().rfind("Kem#", 0) == 0;
    });
    return s;
  }

  const fs::path prog_ = dir_ / "prog", cwd_ = dir_ / "cwd";
  Zone main_, slave_;
};

TEST_F(RestoreTest, AServerMergeAndItsRestoreGiveBackBothZonesAndTheProgramFolder) {
  const Snapshot before = Files();
  ASSERT_EQ(RunJob(Server()), JobResult::kSucceeded);
  const Snapshot merged = DataFiles();
  ASSERT_NE(merged, before);

  const auto points = FindRestorePoints(main_.dir);
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].job, "server");
  ASSERT_EQ(RunRestore(points[0].list), JobResult::kSucceeded);

  // Every file of both zones and of the program folder is what it was; what the job created is
  // gone. The files the restore replaced are its own restore point: the only other files there.
  const Snapshot after = Files();
  Snapshot data = after;
  for (const auto& [name, bytes] : after)
    if (before.count(name) == 0) {
      EXPECT_TRUE(platform::IsInternalName(fs::path(name).filename())) << name;
      data.erase(name);
    }
  EXPECT_EQ(test::SnapshotDifference(before, data), "");
  Lines texts = test::Texts(Log().Lines());
  ASSERT_FALSE(test::TakeRestorePointLines(texts).empty());
  EXPECT_EQ(texts.back(), G("还原完毕!"));

  // The restore is undone the same way: the merged zone comes back.
  const auto again = FindRestorePoints(main_.dir);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].job, "restore");
  ASSERT_EQ(RunRestore(again[0].list), JobResult::kSucceeded);
  EXPECT_EQ(test::SnapshotDifference(merged, DataFiles()), "");
}

TEST_F(RestoreTest, ACleanupIsRestoredAndTheNewestPointComesFirst) {
  const Snapshot before = Files();
  ASSERT_EQ(RunJob(Server()), JobResult::kSucceeded);
  const Snapshot merged = DataFiles();
  JobParams clean;
  clean.Mode = 7;
  clean.Param = {
      main_.id().string(), main_.hum().string(), main_.kem().string(), "2020-01-01", "35", "0"};
  env_.clock += 1.0;  // a day later
  ASSERT_EQ(RunJob(clean), JobResult::kSucceeded);

  const auto points = FindRestorePoints(main_.dir);
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0].job, "clean");
  EXPECT_EQ(points[1].job, "server");
  ASSERT_EQ(RunRestore(points[0].list), JobResult::kSucceeded);
  EXPECT_EQ(test::SnapshotDifference(merged, DataFiles()), "");
  // The server merge's point still holds the zone before the merge.
  ASSERT_EQ(RunRestore(points[1].list), JobResult::kSucceeded);
  EXPECT_EQ(test::SnapshotDifference(before, DataFiles()), "");
}

TEST_F(RestoreTest, ARestoreWhoseBackupIsMissingChangesNothing) {
  ASSERT_EQ(RunJob(Server()), JobResult::kSucceeded);
  const auto points = FindRestorePoints(main_.dir);
  ASSERT_EQ(points.size(), 1u);
  fs::path gone;
  for (const auto& e : points[0].entries)
    if (e.kind == platform::RestoreEntry::Kind::kReplaced && e.target == main_.hum())
      gone = e.backup;
  ASSERT_FALSE(gone.empty());
  fs::remove(gone);
  const Snapshot before = Files();

  EXPECT_EQ(RunRestore(points[0].list), JobResult::kAborted);
  EXPECT_EQ(test::SnapshotDifference(before, Files()), "");
  const Lines texts = test::Texts(Log().Lines());
  EXPECT_EQ(texts.back().rfind(G("作业中止: "), 0), 0u);
  EXPECT_NE(texts.back().find(gone.filename().string()), std::string::npos);
}

TEST_F(RestoreTest, AReplacedFileKeepsItsModeBits) {
  fs::permissions(main_.kem(), fs::perms(0640));
  fs::permissions(main_.id(), fs::perms(0600));
  fs::permissions(main_.hum(), fs::perms(0664));
  ASSERT_EQ(RunJob(Server()), JobResult::kSucceeded);
  EXPECT_EQ(fs::status(main_.kem()).permissions(), fs::perms(0640));
  EXPECT_EQ(fs::status(main_.id()).permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(main_.hum()).permissions(), fs::perms(0664));
  // The originals, kept as the restore point, keep theirs too.
  EXPECT_EQ(fs::status(main_.dir / "Kem#20251209.db.bak").permissions(), fs::perms(0640));
}

TEST_F(RestoreTest, ALinkPlantedAtOneOfTheJobsNamesIsNeverWrittenThrough) {
  struct Case {
    const char* label;
    fs::path planted;
  };
  const Case cases[] = {
      {"a staged file's name", main_.dir / "Id.db.zkqnew"},
      {"a temporary file's name", prog_ / platform::PathFromUtf8("ID更名列表.txt.zkq-tmp.zkqnew")},
      {"a dated backup's name", main_.dir / "Kem#20251209.db.bak"},
      {"the journal's name", main_.dir / "zkqmerge.journal"},
  };
  const fs::path victim = dir_ / "victim";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteBytes(victim, "victim");
    fs::create_symlink(victim, c.planted);
    const Snapshot before = Files();
    Log().Reset();
    ResetProcessState();

    EXPECT_NE(RunJob(Server()), JobResult::kSucceeded);

    EXPECT_EQ(ReadBytes(victim), "victim");
    EXPECT_EQ(test::SnapshotDifference(before, Files()), "");
    const Lines texts = test::Texts(Log().Lines());
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().rfind(G("作业中止: "), 0), 0u) << texts.back();
    fs::remove(c.planted);
  }
}

}  // namespace
}  // namespace zkq
