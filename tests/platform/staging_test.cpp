// A job's staging environment on real folders: the view a job works in, the zone's files that
// stay as they are until the commit, the commit with and without a restore point, and the undo
// of a switch that fails.
#include "platform/staging.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/errors.h"
#include "platform/restore_point.h"
#include "platform/switch_journal.h"
#include "support/test_support.h"

namespace zkq::platform {
namespace {

using test::FileTest;
using test::ReadBytes;
using test::WriteBytes;
using Type = FileInfo::Type;

// Every name below `root`, relative, with what stands there: a file's bytes, "<dir>" or the
// target of a link.
using Snapshot = std::map<std::string, std::string>;

void AddSnapshot(const fs::path& root, const fs::path& dir, Snapshot& out) {
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = fs::relative(e.path(), root).generic_string();
    if (e.is_symlink()) {
      out[name] = "<link " + fs::read_symlink(e.path()).string() + ">";
    } else if (e.is_directory()) {
      out[name] = "<dir>";
      AddSnapshot(root, e.path(), out);
    } else {
      out[name] = ReadBytes(e.path());
    }
  }
}

// The snapshot without the names for which `drop` is true.
Snapshot Without(Snapshot s, const std::function<bool(const fs::path& name)>& drop) {
  for (auto it = s.begin(); it != s.end();) {
    if (drop(fs::path(it->first).filename()))
      it = s.erase(it);
    else
      ++it;
  }
  return s;
}

bool IsStagedOrSwitchName(const fs::path& name) {
  return IsLeftoverName(name) || name == kJournalName || name == kPointerName;
}

struct stat StatOf(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st;
}

uint64_t InodeOf(const fs::path& p) {
  return static_cast<uint64_t>(StatOf(p).st_ino);
}

uint32_t ModeOf(const fs::path& p) {
  return static_cast<uint32_t>(StatOf(p).st_mode & 07777);
}

fs::path Canon(const fs::path& p) {
  return fs::weakly_canonical(p);
}

// ---- working through an Env ----

std::string ReadVia(Env& env, const fs::path& p) {
  std::error_code ec;
  auto file = env.Open(p, OpenMode::kReadShared, ec);
  if (!file) return "<" + ec.message() + ">";
  const int64_t size = file->Size();
  if (size < 0) return "<no size>";
  std::string bytes(static_cast<size_t>(size), '\0');
  if (file->Read(0, bytes.data(), bytes.size()) != size) return "<short read>";
  return bytes;
}

bool WriteVia(Env& env, const fs::path& p, int64_t offset, std::string_view bytes,
              OpenMode mode = OpenMode::kReadWriteShared) {
  std::error_code ec;
  auto file = env.Open(p, mode, ec);
  if (!file) return false;
  const bool ok = file->Write(offset, bytes.data(), bytes.size()) && file->Sync();
  return file->Close() && ok;
}

bool CreateVia(Env& env, const fs::path& p, std::string_view bytes) {
  return WriteVia(env, p, 0, bytes, OpenMode::kCreateTruncate);
}

// A folder's listing in the view: names, folders with a "/" after them, sorted.
std::vector<std::string> Names(Env& env, const fs::path& dir) {
  std::vector<DirEntry> entries;
  if (auto ec = env.ListDir(dir, entries)) return {"<" + ec.message() + ">"};
  std::vector<std::string> names;
  for (const DirEntry& e : entries)
    names.push_back(e.name.string() + (e.type == Type::kDir ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

std::string Pattern(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// The real environment with the fake's clock and faults, on a file system that gives files no
// second names: a replaced file's original is renamed to its backup name.
class NoLinkEnv : public test::FakeEnv {
 public:
  std::error_code Link(const fs::path&, const fs::path&) override {
    return std::make_error_code(std::errc::operation_not_supported);
  }
};

class StagingTest : public FileTest {
 public:
  fs::path Zone() const { return Path("zone"); }
  fs::path Z(const fs::path& name) const { return Zone() / name; }

 protected:
  void SetUp() override { fs::create_directories(Zone()); }

  std::unique_ptr<StagingEnv> Stage(bool keepRestorePoint, Env* base = nullptr) {
    return std::make_unique<StagingEnv>(base != nullptr ? base : &env_,
                                        StagingEnv::Options{"test", Zone(), keepRestorePoint});
  }

  Snapshot Now() const {
    Snapshot out;
    AddSnapshot(dir_.path(), dir_.path(), out);
    return out;
  }

  // Commits and returns the restore point's list as it was written, or nothing.
  std::optional<RestorePoint> CommitAndReadList(StagingEnv& v) {
    std::vector<std::string> warnings;
    v.Commit(warnings);
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(v.Committed());
    const fs::path list = v.LastPrepared().list;
    if (list.empty()) return std::nullopt;
    auto point = DecodeRestorePoint(ReadBytes(list));
    EXPECT_TRUE(point.has_value()) << list;
    return point;
  }

  // The entries of a restore point with the paths relative to the scratch folder, sorted.
  std::vector<std::string> Describe(const std::vector<RestoreEntry>& entries) const {
    static const char* kWords[] = {"replaced", "created", "deleted", "mkdir", "rmdir"};
    const fs::path root = Canon(dir_.path());
    std::vector<std::string> out;
    for (const RestoreEntry& e : entries) {
      std::string line = std::string(kWords[static_cast<int>(e.kind)]) + " " +
                         fs::relative(e.target, root).generic_string();
      if (!e.backup.empty()) line += " " + fs::relative(e.backup, root).generic_string();
      out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
};

// ---- the view ----

TEST_F(StagingTest, ViewShowsTheJobsChangesWhileTheFilesStayUntilCommit) {
  WriteBytes(Z("a.txt"), "0123456789");
  WriteBytes(Z("b.txt"), "old b");
  WriteBytes(Z("c.txt"), "c content");
  WriteBytes(Z("d.txt"), "d content");
  fs::create_directories(Z("sub"));
  WriteBytes(Z("sub/e.txt"), "e");
  // This system's own files beside the zone's: never shown to a job.
  WriteBytes(Z("Id.db.20250101-000000.zkqbak"), "a restore point's backup");
  WriteBytes(Z("zkqmerge-20250101-000000.restore"), "a restore point list");
  WriteBytes(Z("x.txt.zkqnew"), "left by a run that was cut off");
  WriteBytes(Z("y.txt.zkq-tmp"), "temporary");
  const Snapshot before = Now();

  auto v = Stage(false);
  ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 2, "AB"));
  ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 12, "Z"));  // past the end: a gap of zeros
  ASSERT_TRUE(CreateVia(*v, Z("b.txt"), "new b"));
  ASSERT_FALSE(v->Rename(Z("c.txt"), Z("c2.txt")));
  ASSERT_FALSE(v->RemoveFile(Z("d.txt")));
  ASSERT_FALSE(v->CopyFile(Z("a.txt"), Z("a-copy.txt")));
  ASSERT_FALSE(v->CreateDir(Z("newdir")));
  ASSERT_FALSE(v->CreateDir(Z("newdir/deeper")));
  ASSERT_TRUE(CreateVia(*v, Z("newdir/f.txt"), "f"));
  ASSERT_FALSE(v->Rename(Z("sub/e.txt"), Z("newdir/e.txt")));

  const std::string a = std::string("01AB456789\0\0Z", 13);
  EXPECT_EQ(ReadVia(*v, Z("a.txt")), a);
  EXPECT_EQ(ReadVia(*v, Z("a-copy.txt")), a);
  EXPECT_EQ(ReadVia(*v, Z("b.txt")), "new b");
  EXPECT_EQ(ReadVia(*v, Z("c2.txt")), "c content");
  EXPECT_EQ(ReadVia(*v, Z("newdir/f.txt")), "f");
  EXPECT_EQ(ReadVia(*v, Z("newdir/e.txt")), "e");
  for (const char* gone : {"c.txt", "d.txt", "sub/e.txt", "x.txt.zkqnew", "y.txt.zkq-tmp"}) {
    SCOPED_TRACE(gone);
    EXPECT_FALSE(v->Exists(Z(gone)));
    std::error_code ec;
    EXPECT_EQ(v->Open(Z(gone), OpenMode::kReadShared, ec), nullptr);
    EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
  }
  EXPECT_TRUE(v->IsRegularFile(Z("c2.txt")));
  EXPECT_TRUE(v->IsDirectory(Z("newdir/deeper")));
  EXPECT_FALSE(v->IsRegularFile(Z("newdir")));
  FileInfo info;
  EXPECT_FALSE(v->Lstat(Z("a.txt"), info));
  EXPECT_EQ(info.type, Type::kFile);
  EXPECT_EQ(info.size, 13);
  EXPECT_EQ(v->Lstat(Z("d.txt"), info), std::errc::no_such_file_or_directory);

  EXPECT_EQ(Names(*v, Zone()), (std::vector<std::string>{"a-copy.txt", "a.txt", "b.txt", "c2.txt",
                                                         "newdir/", "sub/"}));
  EXPECT_EQ(Names(*v, Z("newdir")), (std::vector<std::string>{"deeper/", "e.txt", "f.txt"}));
  EXPECT_EQ(Names(*v, Z("sub")), std::vector<std::string>{});
  EXPECT_EQ(Names(*v, Z("newdir/deeper")), std::vector<std::string>{});

  // Nothing of it reached the zone: only staged files were added beside its files.
  EXPECT_EQ(Without(Now(), IsStagedOrSwitchName), Without(before, IsStagedOrSwitchName));
  const Snapshot during = Now();
  for (const auto& [name, bytes] : before) {
    const auto it = during.find(name);
    EXPECT_TRUE(it != during.end() && it->second == bytes) << name;
  }

  ASSERT_NO_THROW(CommitAndReadList(*v));
  v.reset();
  Snapshot want = before;
  for (const char* gone : {"zone/c.txt", "zone/d.txt", "zone/sub/e.txt"}) want.erase(gone);
  want["zone/a.txt"] = a;
  want["zone/a-copy.txt"] = a;
  want["zone/b.txt"] = "new b";
  want["zone/c2.txt"] = "c content";
  want["zone/newdir"] = "<dir>";
  want["zone/newdir/deeper"] = "<dir>";
  want["zone/newdir/f.txt"] = "f";
  want["zone/newdir/e.txt"] = "e";
  EXPECT_EQ(Now(), want);
}

// Writes in place of every shape (over each other, touching, apart, past the end) are held in
// memory over the file's bytes; reads and copies of the view must give the model's bytes, and
// the commit must give the model's file.
TEST_F(StagingTest, InPlaceWritesAgreeWithAnInMemoryModel) {
  const struct Case {
    const char* name;
    bool kernelCopies;  // the real environment below: copies between its files in the kernel
    uint32_t seed;
    size_t size;  // of the original
  } cases[] = {
      {"through the fake environment", false, 1, 5000},
      {"over the real one", true, 2, 5000},
      {"an original too large to be held in memory",
       true,
       3,
       static_cast<size_t>(StagingEnv::kReadWholeLimit) + 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Zone());
    fs::create_directories(Zone());
    std::string model = Pattern(c.size, c.seed);
    WriteBytes(Z("data.db"), model);
    const std::string original = model;
    std::error_code ec;
    auto sink = DefaultEnv()->Open(Path("sink.bin"), OpenMode::kCreateTruncate, ec);
    ASSERT_TRUE(sink);

    Env* base = c.kernelCopies ? DefaultEnv() : static_cast<Env*>(&env_);
    StagingEnv v(base, StagingEnv::Options{"test", Zone(), false});
    auto file = v.Open(Z("data.db"), OpenMode::kReadWriteShared, ec);
    ASSERT_TRUE(file);
    std::mt19937 rng(c.seed);
    auto uniform = [&](int64_t lo, int64_t hi) {
      return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
    };
    const auto size = [&] { return static_cast<int64_t>(model.size()); };
    for (int step = 0; step < 1500; ++step) {
      const int64_t op = uniform(0, 99);
      std::string what;
      if (op < 55) {
        int64_t offset;
        size_t n;
        if (op < 30) {  // small, anywhere
          offset = uniform(0, size());
          n = static_cast<size_t>(uniform(1, 40));
        } else if (op < 45) {  // larger, over several earlier ones
          offset = uniform(0, size());
          n = static_cast<size_t>(uniform(100, 3000));
        } else {  // past the end, leaving a gap
          offset = size() + uniform(1, 500);
          n = static_cast<size_t>(uniform(1, 100));
        }
        const std::string bytes = Pattern(n, static_cast<uint32_t>(rng()));
        what = "write of " + std::to_string(n) + " at " + std::to_string(offset);
        ASSERT_TRUE(file->Write(offset, bytes.data(), n)) << what;
        const size_t end = static_cast<size_t>(offset) + n;
        if (model.size() < end) model.resize(end, '\0');
        model.replace(static_cast<size_t>(offset), n, bytes);
      } else if (op < 85) {
        const int64_t offset = uniform(0, size() + 10);
        const auto n = static_cast<size_t>(uniform(0, 4000));
        what = "read of " + std::to_string(n) + " at " + std::to_string(offset);
        std::string buf(n, '\xEE');
        const int64_t got = file->Read(offset, buf.data(), n);
        const std::string want =
            offset < size() ? model.substr(static_cast<size_t>(offset), n) : std::string();
        ASSERT_EQ(got, static_cast<int64_t>(want.size())) << what;
        ASSERT_EQ(buf.substr(0, want.size()), want) << what;
      } else if (op < 95) {
        const int64_t offset = uniform(0, size() - 1);
        const auto n = static_cast<size_t>(uniform(1, std::min<int64_t>(size() - offset, 6000)));
        what = "copy of " + std::to_string(n) + " at " + std::to_string(offset);
        ASSERT_TRUE(file->CopyTo(offset, *sink, 0, n)) << what;
        std::string buf(n, '\0');
        ASSERT_EQ(sink->Read(0, buf.data(), n), static_cast<int64_t>(n)) << what;
        ASSERT_EQ(buf, model.substr(static_cast<size_t>(offset), n)) << what;
      } else if (model.size() <= 100000) {
        what = "copy of the whole file";
        ASSERT_FALSE(v.CopyFile(Z("data.db"), Z("copy.db"))) << what;
        ASSERT_EQ(ReadVia(v, Z("copy.db")), model) << what;
        ASSERT_FALSE(v.RemoveFile(Z("copy.db")));
      }
      ASSERT_EQ(file->Size(), size()) << what;
    }
    EXPECT_EQ(ReadVia(v, Z("data.db")), model);
    EXPECT_EQ(ReadBytes(Z("data.db")), original);
    file.reset();
    std::vector<std::string> warnings;
    ASSERT_NO_THROW(v.Commit(warnings));
    EXPECT_EQ(ReadBytes(Z("data.db")), model);
  }
}

TEST_F(StagingTest, DestroyingWithoutCommitLeavesTheFoldersAsTheyWere) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "keeping a restore point" : "without a restore point");
    fs::remove_all(Zone());
    fs::create_directories(Z("sub"));
    fs::create_directories(Z("empty"));
    WriteBytes(Z("a.txt"), "0123456789");
    WriteBytes(Z("b.txt"), "b");
    WriteBytes(Z("c.txt"), "c");
    WriteBytes(Z("Kem.db"), "kem");
    WriteBytes(Z("Kem.db.idx"), "idx");
    WriteBytes(Z("Id.db.1.zkqbak"), "restore point backup");
    WriteBytes(Z("sub/s.txt"), "s");
    WriteBytes(Z("big.db"), Pattern((size_t{17} << 20) + 5, 1));
    const Snapshot before = Now();
    {
      auto v = Stage(keep);
      v->WishBackups({{Z("Kem.db"), "Kem#20251209", ".db.bak"},
                      {Z("Kem.db.idx"), "Kem#20251209", ".db.idx.bak"}});
      v->CopyBackupsNow({Z("Kem.db"), Z("Kem.db.idx")});
      ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 3, "xyz"));
      ASSERT_TRUE(CreateVia(*v, Z("b.txt"), "bb"));
      ASSERT_TRUE(CreateVia(*v, Z("new.txt"), "new"));
      ASSERT_TRUE(CreateVia(*v, Z("Kem.db"), "kem new"));
      ASSERT_FALSE(v->Rename(Z("c.txt"), Z("sub/c.txt")));
      ASSERT_FALSE(v->Rename(Z("new.txt"), Z("sub/new.txt")));  // a staged file moves along
      ASSERT_FALSE(v->RemoveFile(Z("sub/s.txt")));
      ASSERT_FALSE(v->RemoveDir(Z("empty")));
      ASSERT_FALSE(v->CreateDir(Z("made")));
      ASSERT_TRUE(CreateVia(*v, Z("made/m.txt"), "m"));
      ASSERT_FALSE(v->CopyFile(Z("a.txt"), Z("made/a.txt")));
      ASSERT_FALSE(v->MoveFile(Z("Id.db.1.zkqbak"), Z("Id.db")));
      // More than the changes a file may hold in memory: written out beside the file.
      const std::string chunk(size_t{1} << 20, 'w');
      for (int i = 0; i < 17; ++i) ASSERT_TRUE(WriteVia(*v, Z("big.db"), int64_t{i} << 20, chunk));
      EXPECT_TRUE(fs::exists(Z("big.db.zkqnew")));
      ASSERT_NO_THROW(v->Prepare());
      // Prepared, not switched: the zone's files are as they were.
      EXPECT_EQ(Without(Now(), IsStagedOrSwitchName), Without(before, IsStagedOrSwitchName));
      ASSERT_TRUE(CreateVia(*v, Z("after-prepare.txt"), "late"));
    }
    EXPECT_EQ(Now(), before);
  }
}

// ---- commit ----

TEST_F(StagingTest, CommitSwitchesEverythingInWithOrWithoutARestorePoint) {
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep ? "keeping a restore point" : "without a restore point");
    fs::remove_all(Zone());
    fs::create_directories(Z("olddir"));
    fs::create_directories(Z("other"));
    WriteBytes(Z("a.txt"), "a-old");
    WriteBytes(Z("d.txt"), "d-old");
    WriteBytes(Z("other/h.txt"), "h-old");
    WriteBytes(Z("same.txt"), "same");
    const uint64_t aInode = InodeOf(Z("a.txt"));
    const uint64_t dInode = InodeOf(Z("d.txt"));

    auto v = Stage(keep);
    ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 0, "A"));
    ASSERT_TRUE(CreateVia(*v, Z("n.txt"), "n-new"));
    ASSERT_FALSE(v->RemoveFile(Z("d.txt")));
    ASSERT_FALSE(v->RemoveDir(Z("olddir")));
    ASSERT_FALSE(v->CreateDir(Z("newdir")));
    ASSERT_TRUE(CreateVia(*v, Z("newdir/m.txt"), "m-new"));
    ASSERT_TRUE(CreateVia(*v, Z("other/h.txt"), "h-new"));
    std::optional<RestorePoint> point;
    ASSERT_NO_THROW(point = CommitAndReadList(*v));
    const StagingEnv::Prepared prepared = v->LastPrepared();
    v.reset();

    Snapshot want = {{"zone", "<dir>"},
                     {"zone/a.txt", "A-old"},
                     {"zone/n.txt", "n-new"},
                     {"zone/newdir", "<dir>"},
                     {"zone/newdir/m.txt", "m-new"},
                     {"zone/other", "<dir>"},
                     {"zone/other/h.txt", "h-new"},
                     {"zone/same.txt", "same"}};
    if (!keep) {
      EXPECT_FALSE(point.has_value());
      EXPECT_TRUE(prepared.list.empty());
      EXPECT_EQ(Now(), want);  // no backup, no journal, no pointer, no staged file
      continue;
    }
    ASSERT_TRUE(point.has_value());
    EXPECT_EQ(point->job, "test");
    EXPECT_FALSE(point->time.empty());
    EXPECT_EQ(Describe(point->entries), Describe(prepared.entries));
    // Every replaced and deleted file's original is kept beside it, as it was (not a copy).
    fs::path aBackup, dBackup, hBackup;
    for (const RestoreEntry& e : point->entries) {
      if (e.target == Canon(Z("a.txt"))) aBackup = e.backup;
      if (e.target == Canon(Z("d.txt"))) dBackup = e.backup;
      if (e.target == Canon(Z("other/h.txt"))) hBackup = e.backup;
    }
    ASSERT_FALSE(aBackup.empty() || dBackup.empty() || hBackup.empty());
    EXPECT_EQ(InodeOf(aBackup), aInode);
    EXPECT_EQ(InodeOf(dBackup), dInode);
    const fs::path root = Canon(dir_.path());
    const auto rel = [&](const fs::path& p) { return fs::relative(p, root).generic_string(); };
    EXPECT_EQ(Describe(point->entries), (std::vector<std::string>{
                                            "created zone/n.txt",
                                            "created zone/newdir/m.txt",
                                            "deleted zone/d.txt " + rel(dBackup),
                                            "mkdir zone/newdir",
                                            "replaced zone/a.txt " + rel(aBackup),
                                            "replaced zone/other/h.txt " + rel(hBackup),
                                            "rmdir zone/olddir",
                                        }));
    for (const fs::path& b : {aBackup, dBackup, hBackup}) {
      EXPECT_TRUE(IsInternalName(b.filename())) << b;
      EXPECT_FALSE(IsLeftoverName(b.filename())) << b;
    }
    EXPECT_EQ(aBackup.parent_path(), Canon(Zone()));
    EXPECT_EQ(hBackup.parent_path(), Canon(Z("other")));
    want[rel(aBackup)] = "a-old";
    want[rel(dBackup)] = "d-old";
    want[rel(hBackup)] = "h-old";
    want[rel(prepared.list)] = ReadBytes(prepared.list);
    EXPECT_EQ(prepared.list.parent_path(), Canon(Zone()));
    EXPECT_EQ(Now(), want);
  }
}

// Without a restore point nothing needs the folder after the switch: a folder the job emptied
// and removed is gone, as the view showed.
TEST_F(StagingTest, EmptiedAndRemovedFolderIsGoneWithoutARestorePoint) {
  fs::create_directories(Z("d/inner"));
  WriteBytes(Z("d/f.txt"), "f");
  WriteBytes(Z("d/inner/g.txt"), "g");
  auto v = Stage(false);
  ASSERT_FALSE(v->RemoveFile(Z("d/inner/g.txt")));
  ASSERT_FALSE(v->RemoveDir(Z("d/inner")));
  ASSERT_FALSE(v->RemoveFile(Z("d/f.txt")));
  ASSERT_FALSE(v->RemoveDir(Z("d")));
  EXPECT_FALSE(v->Exists(Z("d")));
  EXPECT_EQ(Names(*v, Zone()), std::vector<std::string>{});
  ASSERT_NO_THROW(CommitAndReadList(*v));
  v.reset();
  EXPECT_EQ(Now(), (Snapshot{{"zone", "<dir>"}}));
}

TEST_F(StagingTest, UnchangedFilesAreLeftOutOfTheSwitch) {
  WriteBytes(Z("rewritten.txt"), "same bytes");
  WriteBytes(Z("inplace.txt"), "0123456789");
  WriteBytes(Z("renamed-back.txt"), "r");
  WriteBytes(Z("changed.txt"), "old");
  const uint64_t rewritten = InodeOf(Z("rewritten.txt"));
  const uint64_t inplace = InodeOf(Z("inplace.txt"));
  const uint64_t renamedBack = InodeOf(Z("renamed-back.txt"));
  {
    // A job that changes nothing leaves no trace at all.
    const Snapshot before = Now();
    auto v = Stage(true);
    ASSERT_TRUE(CreateVia(*v, Z("rewritten.txt"), "same bytes"));
    ASSERT_TRUE(WriteVia(*v, Z("inplace.txt"), 3, "345"));
    ASSERT_FALSE(v->Rename(Z("renamed-back.txt"), Z("elsewhere.txt")));
    ASSERT_FALSE(v->Rename(Z("elsewhere.txt"), Z("renamed-back.txt")));
    ASSERT_NO_THROW(CommitAndReadList(*v));
    EXPECT_FALSE(v->LastPrepared().changes);
    EXPECT_TRUE(v->LastPrepared().entries.empty());
    v.reset();
    EXPECT_EQ(Now(), before);
  }
  auto v = Stage(true);
  ASSERT_TRUE(CreateVia(*v, Z("rewritten.txt"), "same bytes"));
  ASSERT_TRUE(WriteVia(*v, Z("inplace.txt"), 3, "345"));
  ASSERT_TRUE(CreateVia(*v, Z("changed.txt"), "new"));
  std::optional<RestorePoint> point;
  ASSERT_NO_THROW(point = CommitAndReadList(*v));
  ASSERT_TRUE(point.has_value());
  ASSERT_EQ(point->entries.size(), 1u);
  EXPECT_EQ(point->entries[0].target, Canon(Z("changed.txt")));
  EXPECT_EQ(InodeOf(Z("rewritten.txt")), rewritten);
  EXPECT_EQ(InodeOf(Z("inplace.txt")), inplace);
  EXPECT_EQ(InodeOf(Z("renamed-back.txt")), renamedBack);
  EXPECT_EQ(ReadBytes(Z("changed.txt")), "new");
}

TEST_F(StagingTest, ReplacedFilesKeepTheirPermissionBits) {
  const struct Case {
    const char* name;
    fs::perms mode;
    std::function<bool(StagingEnv&, const fs::path&)> change;
  } cases[] = {
      {"inplace-0640.txt", fs::perms(0640),
       [](StagingEnv& v, const fs::path& p) { return WriteVia(v, p, 1, "X"); }},
      {"rewritten-0600.txt", fs::perms(0600),
       [](StagingEnv& v, const fs::path& p) { return CreateVia(v, p, "rewritten"); }},
      {"renamed-over-0604.txt", fs::perms(0604),
       [](StagingEnv& v, const fs::path& p) {
         return CreateVia(v, fs::path(p) += ".new", "renamed over") &&
                !v.Rename(fs::path(p) += ".new", p);
       }},
      {"large-0660.db", fs::perms(0660),
       [](StagingEnv& v, const fs::path& p) {
         return WriteVia(v, p, 0, std::string((size_t{16} << 20) + 1, 'L'));
       }},
  };
  for (const Case& c : cases) {
    WriteBytes(Z(c.name), "original");
    fs::permissions(Z(c.name), c.mode);
  }
  auto v = Stage(true);
  for (const Case& c : cases) ASSERT_TRUE(c.change(*v, Z(c.name))) << c.name;
  std::optional<RestorePoint> point;
  ASSERT_NO_THROW(point = CommitAndReadList(*v));
  ASSERT_TRUE(point.has_value());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(ReadBytes(Z(c.name)), "original");
    EXPECT_EQ(ModeOf(Z(c.name)), static_cast<uint32_t>(c.mode));
    for (const RestoreEntry& e : point->entries) {
      if (e.target != Canon(Z(c.name))) continue;
      EXPECT_EQ(ReadBytes(e.backup), "original");
      EXPECT_EQ(ModeOf(e.backup), static_cast<uint32_t>(c.mode));
    }
  }
}

// ---- wished backups ----

// The layout upgrade's backups: the data file and its index file are each wished a dated backup,
// and an earlier backup holds the data file's first name. The job rewrites the data file only.
class WishTest : public StagingTest {
 protected:
  struct Outcome {
    Snapshot files;
    std::optional<RestorePoint> point;
  };

  Outcome Run(bool keep, bool copyEarly) {
    fs::remove_all(Zone());
    fs::create_directories(Zone());
    WriteBytes(Z("Kem.db"), "kem-old");
    WriteBytes(Z("Kem.db.idx"), "idx-old");
    WriteBytes(Z("Kem#20251209.db.bak"), "an earlier backup");
    kem_ = InodeOf(Z("Kem.db"));
    idx_ = InodeOf(Z("Kem.db.idx"));

    Outcome out;
    auto v = Stage(keep);
    v->WishBackups({{Z("Kem.db"), "Kem#20251209", ".db.bak"},
                    {Z("Kem.db.idx"), "Kem#20251209", ".db.idx.bak"}});
    v->WishBackups({{Z("Kem.db"), "Kem#20991231", ".db.bak"}});  // the first wish stands
    if (copyEarly) v->CopyBackupsNow({Z("Kem.db"), Z("Kem.db.idx")});
    EXPECT_TRUE(CreateVia(*v, Z("Kem.db"), "kem-new"));
    EXPECT_NO_THROW(out.point = CommitAndReadList(*v));
    v.reset();
    out.files = Without(Now(), [](const fs::path& name) {
      const std::string s = name.string();
      return s.rfind("zkqmerge-", 0) == 0 && name.extension() == ".restore";
    });
    return out;
  }

  // Both backups take the number 2, the first free for both names; the replaced data file's
  // original is kept under its name (the file itself), the unchanged index file is copied.
  void ExpectBackups(const Outcome& out) {
    EXPECT_EQ(out.files, (Snapshot{{"zone", "<dir>"},
                                   {"zone/Kem.db", "kem-new"},
                                   {"zone/Kem.db.idx", "idx-old"},
                                   {"zone/Kem#20251209.db.bak", "an earlier backup"},
                                   {"zone/Kem#20251209-2.db.bak", "kem-old"},
                                   {"zone/Kem#20251209-2.db.idx.bak", "idx-old"}}));
    EXPECT_EQ(InodeOf(Z("Kem#20251209-2.db.bak")), kem_);
    EXPECT_EQ(InodeOf(Z("Kem.db.idx")), idx_);
  }

  uint64_t kem_ = 0, idx_ = 0;
};

TEST_F(WishTest, GroupTakesTheFirstNumberFreeForAllItsFiles) {
  for (const bool copyEarly : {false, true}) {
    SCOPED_TRACE(copyEarly ? "copies made early" : "copies made at the commit");
    const Outcome out = Run(true, copyEarly);
    ExpectBackups(out);
    ASSERT_TRUE(out.point.has_value());
    EXPECT_EQ(Describe(out.point->entries),
              (std::vector<std::string>{"created zone/Kem#20251209-2.db.idx.bak",
                                        "replaced zone/Kem.db zone/Kem#20251209-2.db.bak"}));
  }
}

// A wished backup is kept whether or not the job keeps a restore point.
TEST_F(WishTest, ReplacedFilesWishedBackupIsKeptWithoutARestorePoint) {
  for (const bool copyEarly : {false, true}) {
    SCOPED_TRACE(copyEarly ? "copies made early" : "copies made at the commit");
    const Outcome out = Run(false, copyEarly);
    EXPECT_FALSE(out.point.has_value());
    ExpectBackups(out);
  }
}

// The environment below fails every copy-on-write clone or copy of a whole file.
class NoCopyEnv : public test::FakeEnv {
 public:
  std::error_code CloneFile(const fs::path&, const fs::path&) override {
    return std::make_error_code(std::errc::no_space_on_device);
  }
  std::error_code CopyFile(const fs::path&, const fs::path&) override {
    return std::make_error_code(std::errc::no_space_on_device);
  }
};

// A wished backup whose copy cannot be made fails the job, unless the job replaces the file
// after all: then its original is the backup and the copy is not needed.
TEST_F(WishTest, BackupCopyThatFailsFailsTheJobOnlyWhenItIsNeeded) {
  for (const bool copyEarly : {false, true}) {
    for (const bool replaced : {false, true}) {
      SCOPED_TRACE(std::string(copyEarly ? "copy made early" : "copy made at the commit") +
                   (replaced ? ", file replaced" : ", file unchanged"));
      fs::remove_all(Zone());
      fs::create_directories(Zone());
      WriteBytes(Z("Kem.db"), "kem-old");
      WriteBytes(Z("other.txt"), "other-old");
      const Snapshot before = Now();
      NoCopyEnv noCopies;
      auto v = Stage(true, &noCopies);
      v->WishBackups({{Z("Kem.db"), "Kem#1", ".db.bak"}});
      if (copyEarly) v->CopyBackupsNow({Z("Kem.db")});
      ASSERT_TRUE(CreateVia(*v, Z(replaced ? "Kem.db" : "other.txt"), "new"));
      std::vector<std::string> warnings;
      if (replaced) {
        ASSERT_NO_THROW(v->Commit(warnings));
        EXPECT_EQ(ReadBytes(Z("Kem#1.db.bak")), "kem-old");
        EXPECT_EQ(ReadBytes(Z("Kem.db")), "new");
      } else {
        EXPECT_THROW(v->Commit(warnings), FileError);
        v.reset();
        EXPECT_EQ(Now(), before);
      }
    }
  }
}

TEST_F(StagingTest, PrepareAgainTakesTheLaterChanges) {
  WriteBytes(Z("a.txt"), "a-old");
  WriteBytes(Z("b.txt"), "b-old");
  auto v = Stage(true);
  int committed = 0;
  v->OnCommitted([&] { ++committed; });
  ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 0, "A"));
  std::vector<RestoreEntry> first;
  ASSERT_NO_THROW(first = v->Prepare().entries);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 1, "B"));
  ASSERT_TRUE(CreateVia(*v, Z("b.txt"), "b-new"));
  EXPECT_EQ(committed, 0);
  std::optional<RestorePoint> point;
  ASSERT_NO_THROW(point = CommitAndReadList(*v));
  EXPECT_EQ(committed, 1);
  EXPECT_EQ(ReadBytes(Z("a.txt")), "ABold");
  EXPECT_EQ(ReadBytes(Z("b.txt")), "b-new");
  ASSERT_TRUE(point.has_value());
  ASSERT_EQ(point->entries.size(), 2u);
  for (const RestoreEntry& e : point->entries) {
    if (e.target == first[0].target) {
      EXPECT_EQ(e.backup, first[0].backup);  // names chosen before stay
    }
    EXPECT_EQ(ReadBytes(e.backup), e.target.filename() == "a.txt" ? "a-old" : "b-old");
  }
  v.reset();
  EXPECT_EQ(Without(Now(), IsStagedOrSwitchName), Now());  // no staged list left behind
}

TEST_F(StagingTest, WriteErrorOfAStagedFileFailsTheJobAndChangesNothing) {
  const struct Case {
    const char* name;
    bool keep;
    std::function<void(StagingEnv&, const StagingTest&)> job;
  } cases[] = {
      {"a file written in place", false,
       [](StagingEnv& v, const StagingTest& t) { WriteVia(v, t.Z("a.txt"), 0, "A"); }},
      {"a rewritten file", false,
       [](StagingEnv& v, const StagingTest& t) { CreateVia(v, t.Z("a.txt"), "new"); }},
      {"a new file", false,
       [](StagingEnv& v, const StagingTest& t) { CreateVia(v, t.Z("n.txt"), "new"); }},
      {"a file with many changes", false,
       [](StagingEnv& v, const StagingTest& t) {
         WriteVia(v, t.Z("a.txt"), 0, std::string((size_t{16} << 20) + 1, 'L'));
       }},
      {"the restore point list", true,
       [](StagingEnv& v, const StagingTest& t) { v.RemoveFile(t.Z("a.txt")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Zone());
    fs::create_directories(Zone());
    WriteBytes(Z("a.txt"), "a-old");
    const Snapshot before = Now();
    env_.writeFault = [](const fs::path& file, int64_t, size_t) {
      return !IsLeftoverName(file.filename());
    };
    {
      auto v = Stage(c.keep);
      int committed = 0;
      v->OnCommitted([&] { ++committed; });
      c.job(*v, *this);
      std::vector<std::string> warnings;
      EXPECT_THROW(v->Commit(warnings), FileError);
      EXPECT_FALSE(v->Committed());
      EXPECT_EQ(committed, 0);
      EXPECT_TRUE(v->FirstError().has_value());
    }
    env_.writeFault = nullptr;
    EXPECT_EQ(Now(), before);
  }
}

// ---- a switch that fails ----

TEST_F(StagingTest, FailedRenameInTheSwitchUndoesEverything) {
  const struct Case {
    const char* name;
    std::function<bool(const fs::path& file, const StagingTest& t)> target;
  } cases[] = {
      {"replaced file", [](const fs::path& f, const StagingTest& t) { return f == t.Z("a.txt"); }},
      {"created file", [](const fs::path& f, const StagingTest& t) { return f == t.Z("n.txt"); }},
      {"deleted file", [](const fs::path& f, const StagingTest& t) { return f == t.Z("d.txt"); }},
      {"file in another folder",
       [](const fs::path& f, const StagingTest& t) { return f == t.Z("other/h.txt"); }},
      {"file in a new folder",
       [](const fs::path& f, const StagingTest& t) { return f == t.Z("newdir/m.txt"); }},
      {"moved file", [](const fs::path& f, const StagingTest& t) { return f == t.Z("Hum.db"); }},
      {"wished backup copy",
       [](const fs::path& f, const StagingTest&) { return f.filename() == "Idx#1.bak"; }},
      {"restore point list",
       [](const fs::path& f, const StagingTest&) {
         return f.extension() == ".restore" && f.filename().string().rfind("zkqmerge-", 0) == 0;
       }},
  };
  for (const bool links : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (links ? "" : ", no second names for files"));
      NoLinkEnv noLinks;
      test::FakeEnv& env = links ? env_ : noLinks;
      fs::remove_all(Zone());
      fs::create_directories(Z("other"));
      fs::create_directories(Z("olddir"));
      WriteBytes(Z("a.txt"), "a-old");
      WriteBytes(Z("d.txt"), "d-old");
      WriteBytes(Z("other/h.txt"), "h-old");
      WriteBytes(Z("Hum.db.1.zkqbak"), "hum backup");
      WriteBytes(Z("Kem.db.idx"), "idx");
      const Snapshot before = Now();
      const uint64_t moved = InodeOf(Z("Hum.db.1.zkqbak"));

      fs::path faulted;
      env.renameFault = [&](const fs::path& from, const fs::path& to) -> std::error_code {
        for (const fs::path& p : {from, to}) {
          // The paths of a switch are absolute with their folders' links resolved.
          const fs::path plain = Path(fs::relative(p, Canon(dir_.path())));
          if (c.target(plain, *this)) {
            faulted = plain;
            return std::make_error_code(std::errc::permission_denied);
          }
        }
        return {};
      };
      {
        auto v = Stage(true, &env);
        v->WishBackups({{Z("Kem.db.idx"), "Idx#1", ".bak"}});
        ASSERT_TRUE(WriteVia(*v, Z("a.txt"), 0, "A"));
        ASSERT_TRUE(CreateVia(*v, Z("n.txt"), "n-new"));
        ASSERT_FALSE(v->RemoveFile(Z("d.txt")));
        ASSERT_TRUE(CreateVia(*v, Z("other/h.txt"), "h-new"));
        ASSERT_FALSE(v->CreateDir(Z("newdir")));
        ASSERT_TRUE(CreateVia(*v, Z("newdir/m.txt"), "m-new"));
        ASSERT_FALSE(v->RemoveDir(Z("olddir")));
        ASSERT_FALSE(v->MoveFile(Z("Hum.db.1.zkqbak"), Z("Hum.db")));
        std::vector<std::string> warnings;
        try {
          v->Commit(warnings);
          ADD_FAILURE() << "the commit succeeded";
        } catch (const FileError& e) {
          // The file, or where its original was to be kept.
          const std::string named = fs::relative(e.path(), Canon(dir_.path())).generic_string();
          EXPECT_EQ(named.rfind(fs::relative(faulted, dir_.path()).generic_string(), 0), 0u)
              << e.what();
        }
        EXPECT_FALSE(v->Committed());
        // Every file as it was; no journal, pointer or backup; only the job's staged files.
        EXPECT_EQ(Without(Now(), IsStagedOrSwitchName), Without(before, IsStagedOrSwitchName));
        EXPECT_EQ(InodeOf(Z("Hum.db.1.zkqbak")), moved);
      }
      env.renameFault = nullptr;
      EXPECT_EQ(Now(), before);
    }
  }
}

// ---- what others planted at this system's names ----

TEST_F(StagingTest, LinkAtAStagedOrBackupNameIsNeverWrittenThrough) {
  const struct Case {
    const char* name;
    const char* link;  // in the zone, to ../victim.txt
    bool keep;
    std::function<void(StagingEnv&, const StagingTest&)> job;
  } cases[] = {
      {"staged name of a rewritten file", "a.txt.zkqnew", true,
       [](StagingEnv& v, const StagingTest& t) { CreateVia(v, t.Z("a.txt"), "new"); }},
      {"staged name of a file written in place", "a.txt.zkqnew", true,
       [](StagingEnv& v, const StagingTest& t) { WriteVia(v, t.Z("a.txt"), 0, "A"); }},
      {"staged name of a new file", "n.txt.zkqnew", true,
       [](StagingEnv& v, const StagingTest& t) { CreateVia(v, t.Z("n.txt"), "new"); }},
      {"backup name without a restore point", "a.txt.zkqold", false,
       [](StagingEnv& v, const StagingTest& t) { CreateVia(v, t.Z("a.txt"), "new"); }},
      {"wished backup name", "Kem#1.db.bak", true,
       [](StagingEnv& v, const StagingTest& t) {
         v.WishBackups({{t.Z("a.txt"), "Kem#1", ".db.bak"}});
         CreateVia(v, t.Z("a.txt"), "new");
       }},
      {"wished backup name of an unchanged file", "Kem#1.db.bak", true,
       [](StagingEnv& v, const StagingTest& t) {
         v.WishBackups({{t.Z("a.txt"), "Kem#1", ".db.bak"}});
         CreateVia(v, t.Z("n.txt"), "new");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Zone());
    fs::create_directories(Zone());
    WriteBytes(Path("victim.txt"), "victim");
    WriteBytes(Z("a.txt"), "a-old");
    fs::create_symlink("../victim.txt", Z(c.link));
    const Snapshot before = Now();
    {
      auto v = Stage(c.keep);
      std::vector<std::string> warnings;
      try {
        c.job(*v, *this);
        v->Commit(warnings);
        ADD_FAILURE() << "the job went through";
      } catch (const FileError& e) {
        SUCCEED() << e.what();
      }
      EXPECT_FALSE(v->Committed());
      EXPECT_EQ(ReadBytes(Path("victim.txt")), "victim");
    }
    EXPECT_EQ(Now(), before);
  }
}

// ---- moving a file without copying it ----

TEST_F(StagingTest, MoveFileMovesTheFileItself) {
  WriteBytes(Z("Id.db"), "current");
  WriteBytes(Z("Id.db.1.zkqbak"), "original id");
  WriteBytes(Z("Hum.db.1.zkqbak"), "original hum");
  const uint64_t id = InodeOf(Z("Id.db.1.zkqbak"));
  const uint64_t hum = InodeOf(Z("Hum.db.1.zkqbak"));
  const uint64_t current = InodeOf(Z("Id.db"));

  auto v = Stage(true);
  ASSERT_FALSE(v->MoveFile(Z("Id.db.1.zkqbak"), Z("Id.db")));    // over a file
  ASSERT_FALSE(v->MoveFile(Z("Hum.db.1.zkqbak"), Z("Hum.db")));  // where none stands
  EXPECT_EQ(ReadVia(*v, Z("Id.db")), "original id");
  EXPECT_EQ(ReadVia(*v, Z("Hum.db")), "original hum");
  EXPECT_FALSE(v->Exists(Z("Id.db.1.zkqbak")));
  // Only a file of the zone the job has not touched moves as it is.
  ASSERT_TRUE(CreateVia(*v, Z("touched.txt"), "t"));
  EXPECT_TRUE(v->MoveFile(Z("touched.txt"), Z("elsewhere.txt")));
  EXPECT_TRUE(v->MoveFile(Z("absent.txt"), Z("elsewhere.txt")));
  ASSERT_FALSE(v->RemoveFile(Z("touched.txt")));

  std::optional<RestorePoint> point;
  ASSERT_NO_THROW(point = CommitAndReadList(*v));
  EXPECT_EQ(InodeOf(Z("Id.db")), id);
  EXPECT_EQ(InodeOf(Z("Hum.db")), hum);
  EXPECT_FALSE(fs::exists(Z("Id.db.1.zkqbak")));
  EXPECT_FALSE(fs::exists(Z("Hum.db.1.zkqbak")));
  ASSERT_TRUE(point.has_value());
  fs::path kept;
  for (const RestoreEntry& e : point->entries)
    if (e.target == Canon(Z("Id.db"))) kept = e.backup;
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(ReadBytes(kept), "current");
  EXPECT_EQ(InodeOf(kept), current);
}

// A file moved in the view is gone from its old name after the commit, whatever the job does
// with it at its new name afterwards.
TEST_F(StagingTest, MovedFileIsGoneFromItsOldNameWhateverTheJobDoesNext) {
  const struct Case {
    const char* name;
    std::function<bool(StagingEnv&, const fs::path&)> then;
    const char* after;  // the moved file's content after the commit, or null: none
  } cases[] = {
      {"written", [](StagingEnv& v, const fs::path& p) { return WriteVia(v, p, 0, "X"); },
       "Xriginal"},
      {"rewritten", [](StagingEnv& v, const fs::path& p) { return CreateVia(v, p, "new"); }, "new"},
      {"removed", [](StagingEnv& v, const fs::path& p) { return !v.RemoveFile(p); }, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Zone());
    fs::create_directories(Zone());
    WriteBytes(Z("Id.db.1.zkqbak"), "original");
    auto v = Stage(false);
    ASSERT_FALSE(v->MoveFile(Z("Id.db.1.zkqbak"), Z("Id.db")));
    ASSERT_TRUE(c.then(*v, Z("Id.db")));
    EXPECT_FALSE(v->Exists(Z("Id.db.1.zkqbak")));
    ASSERT_NO_THROW(CommitAndReadList(*v));
    v.reset();
    Snapshot want = {{"zone", "<dir>"}};
    if (c.after != nullptr) want["zone/Id.db"] = c.after;
    EXPECT_EQ(Now(), want);
  }
}

// ---- a file with many changes ----

TEST_F(StagingTest, FileWithMoreChangesThanMemoryHoldsIsWrittenOutBeside) {
  const std::string original = Pattern((size_t{20} << 20) + 3, 5);
  WriteBytes(Z("big.db"), original);
  std::string model = original;
  auto v = Stage(false);
  std::mt19937 rng(9);
  auto write = [&](int64_t offset, const std::string& bytes) {
    ASSERT_TRUE(WriteVia(*v, Z("big.db"), offset, bytes));
    const size_t end = static_cast<size_t>(offset) + bytes.size();
    if (model.size() < end) model.resize(end, '\0');
    model.replace(static_cast<size_t>(offset), bytes.size(), bytes);
  };
  // 17 MiB of changes apart from each other, small ones over them, and one past the end.
  for (int i = 0; i < 17; ++i) {
    write(i * ((int64_t{1} << 20) + 4099), Pattern(size_t{1} << 20, rng()));
    for (int k = 0; k < 20; ++k)
      write(static_cast<int64_t>(rng() % model.size()), Pattern(1 + rng() % 200, rng()));
  }
  write(static_cast<int64_t>(model.size()) + 5000, "past the end");
  EXPECT_EQ(ReadVia(*v, Z("big.db")), model);
  // Written out beside the original, which is as it was.
  bool beside = false;
  for (const auto& e : fs::directory_iterator(Zone()))
    beside = beside || e.path().filename().string().rfind("big.db.zkqnew", 0) == 0;
  EXPECT_TRUE(beside);
  EXPECT_TRUE(ReadBytes(Z("big.db")) == original);

  ASSERT_NO_THROW(CommitAndReadList(*v));
  v.reset();
  EXPECT_TRUE(ReadBytes(Z("big.db")) == model);
  EXPECT_EQ(Now().size(), 2u);  // the zone folder and big.db
}

}  // namespace
}  // namespace zkq::platform
