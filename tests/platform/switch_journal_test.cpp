// The switch journal: its encoding, the switch that undoes itself when a step fails, and the
// recovery that completes a switch cut off at any point.
#include "platform/switch_journal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/errors.h"
#include "support/test_support.h"

namespace zkq::platform {
namespace {

using test::FileTest;
using test::ReadBytes;
using test::WriteBytes;
using Kind = SwitchStep::Kind;

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

Snapshot SnapshotOf(const fs::path& root) {
  Snapshot out;
  AddSnapshot(root, root, out);
  return out;
}

uint64_t InodeOf(const fs::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

// The pointer a switch leaves in the other folders it touches.
std::string PointerBytes(const Journal& j) {
  return Sealed("zkqmerge pointer 1\nid " + j.id + "\njournal " + EscapePath(j.path) + "\n");
}

// An environment whose file system gives files no second names, so that a replaced file's
// original is renamed to its backup name.
class NoLinkEnv : public test::FakeEnv {
 public:
  std::error_code Link(const fs::path&, const fs::path&) override {
    return std::make_error_code(std::errc::operation_not_supported);
  }
};

// ---- encoding ----

TEST(SwitchJournalEncoding, EscapedPathsAreSingleWordsAndComeBack) {
  const std::vector<std::string> paths = {
      "/zone/Id.db",
      "/zone/with blank/Hum.db",
      "/zone/100%/50%25.txt",
      std::string("/zone/line\nbreak\r\ttab"),
      std::string("/zone/\xD5\xBD\xC9\xF1/\xFF\xFE\x80.db"),  // GBK and bytes that are no UTF-8
      std::string("/zone/del\x7F/\x01\x1F"),
      "relative/path",
  };
  for (const std::string& p : paths) {
    SCOPED_TRACE(p);
    const std::string word = EscapePath(fs::path(p));
    for (const char ch : word) {
      const auto c = static_cast<unsigned char>(ch);
      EXPECT_GT(c, 0x20) << "a blank or control byte in the word";
      EXPECT_NE(c, 0x7F);
    }
    const auto back = UnescapePath(word);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->native(), p);
  }
  EXPECT_EQ(UnescapePath("a%2fb%2Fc")->native(), "a/b/c");  // either case of hex digits
}

TEST(SwitchJournalEncoding, MalformedEscapesAreRefused) {
  for (const char* word : {"", "%", "%4", "abc%", "abc%4", "%G0", "%0G", "%-1", "a%%41"}) {
    SCOPED_TRACE(word);
    EXPECT_FALSE(UnescapePath(word).has_value());
  }
}

TEST(SwitchJournalEncoding, SealedTextComesBackOnlyWhole) {
  for (const std::string& text : {std::string(), std::string("one\n"), std::string("a\nb c\n")}) {
    const std::string sealed = Sealed(text);
    ASSERT_EQ(Unsealed(sealed), text);
    for (size_t n = 0; n < sealed.size(); ++n)
      EXPECT_FALSE(Unsealed(sealed.substr(0, n)).has_value()) << "cut at " << n;
    EXPECT_FALSE(Unsealed(sealed + "x\n").has_value());
    EXPECT_FALSE(Unsealed(sealed + sealed).has_value());
  }
  EXPECT_FALSE(Unsealed(Sealed("no line end")).has_value());
}

Journal EveryKindOfStep() {
  Journal j;
  j.id = "89abcdef01234567";
  j.path = "/zone with blank/zkqmerge.journal";
  j.steps = {
      {Kind::kMkdir, "/zone with blank/new dir", {}, {}, true},
      {Kind::kReplace, "/zone with blank/Id.db", "/zone with blank/Id.db.zkqnew",
       "/zone with blank/Id.db.20251209-000124.zkqbak", true},
      {Kind::kReplace, std::string("/other/\xD5\xBD\xC9\xF1 100%.txt"),
       std::string("/other/\xD5\xBD\xC9\xF1 100%.txt.zkqnew"),
       std::string("/other/\xD5\xBD\xC9\xF1 100%.txt.zkqold"), false},
      {Kind::kCreate,
       std::string("/zone with blank/new dir/line\nbreak"),
       "/zone with blank/line%0Abreak.zkqnew",
       {},
       true},
      {Kind::kDelete, "/other/\xFF\xFE.db", {}, "/other/\xFF\xFE.db.zkqbak", true},
      {Kind::kDelete, "/other/tmp.txt", {}, "/other/tmp.txt.zkqold", false},
      {Kind::kRmdir, "/other/empty\tdir", {}, {}, true},
  };
  j.pointers = {"/other/zkqmerge.pointer", "/third place/zkqmerge.pointer"};
  return j;
}

TEST(SwitchJournalEncoding, JournalRoundTrip) {
  const Journal j = EveryKindOfStep();
  const auto back = DecodeJournal(EncodeJournal(j));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->id, j.id);
  ASSERT_EQ(back->steps.size(), j.steps.size());
  for (size_t i = 0; i < j.steps.size(); ++i) {
    SCOPED_TRACE(i);
    const SwitchStep& want = j.steps[i];
    const SwitchStep& got = back->steps[i];
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.target.native(), want.target.native());
    EXPECT_EQ(got.staged.native(), want.staged.native());
    EXPECT_EQ(got.backup.native(), want.backup.native());
    // Only replaced and deleted files have a backup that may go.
    if (want.kind == Kind::kReplace || want.kind == Kind::kDelete) {
      EXPECT_EQ(got.keepBackup, want.keepBackup);
    }
  }
  ASSERT_EQ(back->pointers.size(), j.pointers.size());
  for (size_t i = 0; i < j.pointers.size(); ++i)
    EXPECT_EQ(back->pointers[i].native(), j.pointers[i].native());
}

TEST(SwitchJournalEncoding, CutOrDamagedJournalIsRefused) {
  const std::string bytes = EncodeJournal(EveryKindOfStep());
  ASSERT_TRUE(DecodeJournal(bytes).has_value());
  for (size_t n = 0; n < bytes.size(); ++n)
    EXPECT_FALSE(DecodeJournal(bytes.substr(0, n)).has_value()) << "cut at " << n;
  for (size_t i = 0; i < bytes.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string damaged = bytes;
      damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
      EXPECT_FALSE(DecodeJournal(damaged).has_value()) << "byte " << i << " bit " << bit;
    }
  }
  EXPECT_FALSE(DecodeJournal(bytes + "step create /a /b\n").has_value());
}

TEST(SwitchJournalEncoding, SealedJournalWithBadLinesIsRefused) {
  const std::string head = "zkqmerge journal 1\nid 0123456789abcdef\n";
  const struct {
    const char* why;
    std::string text;
  } cases[] = {
      {"other magic", "zkqmerge journal 2\nid x\n"},
      {"no id", "zkqmerge journal 1\n"},
      {"id without value", "zkqmerge journal 1\nid\n"},
      {"unknown kind", head + "step move /a /b\n"},
      {"create without staged", head + "step create /a\n"},
      {"replace without keep word", head + "step replace /a /a.zkqnew /a.zkqbak\n"},
      {"replace with a bad keep word", head + "step replace /a /a.zkqnew /a.zkqbak maybe\n"},
      {"delete with too many words", head + "step delete /a /a.zkqbak keep extra\n"},
      {"mkdir with a second path", head + "step mkdir /a /b\n"},
      {"bad escape", head + "step create /a%4 /b\n"},
      {"empty line", head + "\nstep mkdir /a\n"},
      {"unknown line", head + "steps mkdir /a\n"},
      {"pointer without path", head + "pointer\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_FALSE(DecodeJournal(Sealed(c.text)).has_value());
  }
  EXPECT_TRUE(DecodeJournal(Sealed(head)).has_value());  // a switch with no steps
}

// ---- the switch and its recovery, on real folders ----

class SwitchTest : public FileTest {
 protected:
  fs::path Zone() const { return Path("zone"); }
  fs::path Other() const { return Path("other"); }

  // Two folders and a switch over them with every kind of step: a folder made, a file replaced
  // with its original kept, one replaced with its original dropped (in the other folder), one
  // created in the new folder from a staged file beside it, one deleted and kept, one deleted
  // and dropped, and an empty folder removed. The journal lies in the zone folder, a pointer to
  // it in the other one.
  Journal Build() {
    fs::remove_all(Zone());
    fs::remove_all(Other());
    fs::create_directories(Zone() / "emptydir");
    fs::create_directories(Other());
    WriteBytes(Zone() / "Id.db", "id-old");
    WriteBytes(Zone() / "Id.db.zkqnew", "id-new");
    WriteBytes(Other() / "Hum.db", "hum-old");
    WriteBytes(Other() / "Hum.db.zkqnew", "hum-new");
    WriteBytes(Zone() / "a.txt.zkqnew", "a-new");
    WriteBytes(Zone() / "gone.txt", "gone");
    WriteBytes(Other() / "tmp.txt", "tmp");
    WriteBytes(Zone() / "keep.txt", "untouched");
    Journal j;
    j.id = "0123456789abcdef";
    j.path = Zone() / kJournalName;
    j.steps = {
        {Kind::kMkdir, Zone() / "new", {}, {}, true},
        {Kind::kReplace, Zone() / "Id.db", Zone() / "Id.db.zkqnew", Zone() / "Id.db.1.zkqbak",
         true},
        {Kind::kReplace, Other() / "Hum.db", Other() / "Hum.db.zkqnew", Other() / "Hum.db.zkqold",
         false},
        {Kind::kCreate, Zone() / "new" / "a.txt", Zone() / "a.txt.zkqnew", {}, true},
        {Kind::kDelete, Zone() / "gone.txt", {}, Zone() / "gone.txt.1.zkqbak", true},
        {Kind::kDelete, Other() / "tmp.txt", {}, Other() / "tmp.txt.zkqold", false},
        {Kind::kRmdir, Zone() / "emptydir", {}, {}, true},
    };
    j.pointers = {Other() / kPointerName};
    return j;
  }

  static Snapshot Before() {
    return {{"other", "<dir>"},
            {"other/Hum.db", "hum-old"},
            {"other/Hum.db.zkqnew", "hum-new"},
            {"other/tmp.txt", "tmp"},
            {"zone", "<dir>"},
            {"zone/Id.db", "id-old"},
            {"zone/Id.db.zkqnew", "id-new"},
            {"zone/a.txt.zkqnew", "a-new"},
            {"zone/emptydir", "<dir>"},
            {"zone/gone.txt", "gone"},
            {"zone/keep.txt", "untouched"}};
  }

  // Before, with the staged files removed as leftovers of a switch that never began.
  static Snapshot BeforeSwept() {
    Snapshot s = Before();
    for (const char* staged : {"other/Hum.db.zkqnew", "zone/Id.db.zkqnew", "zone/a.txt.zkqnew"})
      s.erase(staged);
    return s;
  }

  static Snapshot After() {
    return {{"other", "<dir>"},
            {"other/Hum.db", "hum-new"},
            {"zone", "<dir>"},
            {"zone/Id.db", "id-new"},
            {"zone/Id.db.1.zkqbak", "id-old"},
            {"zone/new", "<dir>"},
            {"zone/new/a.txt", "a-new"},
            {"zone/gone.txt.1.zkqbak", "gone"},
            {"zone/keep.txt", "untouched"}};
  }

  Snapshot Now() const { return SnapshotOf(dir_.path()); }

  void WriteJournalAndPointers(const Journal& j) {
    WriteBytes(j.path, EncodeJournal(j));
    for (const fs::path& p : j.pointers) WriteBytes(p, PointerBytes(j));
  }
};

TEST_F(SwitchTest, RunSwitchMakesEveryStepAndLeavesNoJournal) {
  for (const bool links : {true, false}) {
    SCOPED_TRACE(links ? "with links" : "without links");
    const Journal j = Build();
    const uint64_t original = InodeOf(Zone() / "Id.db");
    const uint64_t staged = InodeOf(Zone() / "Id.db.zkqnew");
    NoLinkEnv noLinks;
    Env* env = links ? static_cast<Env*>(&env_) : &noLinks;
    // While the steps are made, the journal and the pointer to it are on the disk.
    std::string journalSeen, pointerSeen;
    auto look = [&](const fs::path&, const fs::path&) -> std::error_code {
      if (journalSeen.empty()) {
        journalSeen = ReadBytes(j.path);
        pointerSeen = ReadBytes(j.pointers[0]);
      }
      return {};
    };
    env_.renameFault = look;
    noLinks.renameFault = look;
    std::vector<std::string> warnings;
    RunSwitch(env, j, warnings);
    env_.renameFault = nullptr;
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(Now(), After());
    EXPECT_EQ(journalSeen, EncodeJournal(j));
    EXPECT_EQ(pointerSeen, PointerBytes(j));
    // Files are renamed, never copied: the backup is the original, the target the staged file.
    EXPECT_EQ(InodeOf(Zone() / "Id.db.1.zkqbak"), original);
    EXPECT_EQ(InodeOf(Zone() / "Id.db"), staged);
  }
}

TEST_F(SwitchTest, FailedRenameUndoesTheStepsMadeBefore) {
  for (const bool links : {true, false}) {
    SCOPED_TRACE(links ? "with links" : "without links");
    bool completed = false;
    for (int k = 1; !completed && k < 50; ++k) {
      SCOPED_TRACE("rename " + std::to_string(k) + " fails");
      const Journal j = Build();
      NoLinkEnv noLinks;
      test::FakeEnv& env = links ? env_ : noLinks;
      int renames = 0;
      fs::path faultFrom, faultTo;
      env.renameFault = [&](const fs::path& from, const fs::path& to) -> std::error_code {
        if (++renames != k) return {};
        faultFrom = from;
        faultTo = to;
        return std::make_error_code(std::errc::permission_denied);
      };
      std::vector<std::string> warnings;
      try {
        RunSwitch(&env, j, warnings);
        completed = true;
      } catch (const FileError& e) {
        EXPECT_TRUE(e.path() == faultFrom || e.path() == faultTo) << e.what();
        EXPECT_NE(e.reason().find(std::make_error_code(std::errc::permission_denied).message()),
                  std::string::npos)
            << e.reason();
      }
      env.renameFault = nullptr;
      if (completed) {
        EXPECT_EQ(Now(), After());
      } else {
        // Every file as it was, the staged files back under their names, no journal, no
        // pointer, no backup.
        EXPECT_EQ(Now(), Before());
      }
    }
    EXPECT_TRUE(completed);
  }
}

TEST_F(SwitchTest, SwitchRefusesToCreateOverAFileAndUndoes) {
  Journal j = Build();
  WriteBytes(Zone() / "blocker.txt", "was here first");
  WriteBytes(Zone() / "blocker.txt.zkqnew", "new");
  j.steps.push_back(
      {Kind::kCreate, Zone() / "blocker.txt", Zone() / "blocker.txt.zkqnew", {}, true});
  Snapshot before = Now();
  std::vector<std::string> warnings;
  try {
    RunSwitch(&env_, j, warnings);
    ADD_FAILURE() << "the switch replaced a file it was to create";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), Zone() / "blocker.txt");
  }
  EXPECT_EQ(Now(), before);
}

TEST_F(SwitchTest, SwitchRefusesWhileAnotherJournalIsThere) {
  const Journal j = Build();
  WriteBytes(j.path, "another switch's journal");
  const Snapshot before = Now();
  std::vector<std::string> warnings;
  EXPECT_THROW(RunSwitch(&env_, j, warnings), FileError);
  EXPECT_EQ(Now(), before);
}

// The primitive operations of the switch that Build() describes, in the order the switch makes
// them: the steps, then the removal of the backups that are not kept, of the journal and of the
// pointer. `links` says whether a replaced file's original gets its backup name as a second
// name or by a rename.
std::vector<std::function<void()>> Operations(const Journal& j, bool links) {
  auto keepOriginal = [links](fs::path from, fs::path to) {
    return [=] {
      if (links)
        fs::create_hard_link(from, to);
      else
        fs::rename(from, to);
    };
  };
  auto rename = [](fs::path from, fs::path to) { return [=] { fs::rename(from, to); }; };
  auto remove = [](fs::path p) { return [=] { fs::remove(p); }; };
  const auto& s = j.steps;
  return {
      [=] { fs::create_directory(s[0].target); },
      keepOriginal(s[1].target, s[1].backup),
      rename(s[1].staged, s[1].target),
      keepOriginal(s[2].target, s[2].backup),
      rename(s[2].staged, s[2].target),
      rename(s[3].staged, s[3].target),
      rename(s[4].target, s[4].backup),
      rename(s[5].target, s[5].backup),
      [=] { fs::remove(s[6].target); },
      remove(s[2].backup),
      remove(s[5].backup),
      remove(j.path),
      remove(j.pointers[0]),
  };
}

TEST_F(SwitchTest, RecoveryCompletesASwitchCutOffAfterAnyOperation) {
  for (const bool links : {true, false}) {
    for (const bool fromPointer : {false, true}) {
      const size_t count = Operations(Build(), links).size();
      for (size_t k = 0; k <= count; ++k) {
        SCOPED_TRACE(std::string(links ? "links" : "renames") +
                     (fromPointer ? ", from the pointer" : ", from the journal's folder") +
                     ", cut off after " + std::to_string(k) + " operations");
        const Journal j = Build();
        WriteJournalAndPointers(j);
        const auto ops = Operations(j, links);
        for (size_t i = 0; i < k; ++i) ops[i]();
        const bool journalLeft = fs::exists(j.path);

        const std::vector<fs::path> dirs =
            fromPointer ? std::vector<fs::path>{Other()} : std::vector<fs::path>{Zone(), Other()};
        RecoveryReport report;
        ASSERT_NO_THROW(report = RecoverFolders(&env_, dirs));
        EXPECT_EQ(Now(), After());
        if (journalLeft) {
          EXPECT_EQ(report.completed, std::vector<fs::path>{j.path});
        } else {
          EXPECT_TRUE(report.completed.empty());
        }
        EXPECT_TRUE(report.removed.empty());

        // Running it again finds nothing to do.
        ASSERT_NO_THROW(report = RecoverFolders(&env_, {Zone(), Other()}));
        EXPECT_TRUE(report.completed.empty());
        EXPECT_TRUE(report.removed.empty());
        EXPECT_EQ(Now(), After());
      }
    }
  }
}

// An environment that stops the program (an exception nothing in the switch catches) at its
// n-th change to the disk: a file created, written or flushed, a name given, changed or removed.
class CrashEnv : public EnvWrapper {
 public:
  struct Crash {};
  CrashEnv(Env* target, int crashAt, bool links)
      : EnvWrapper(target), crashAt_(crashAt), links_(links) {}

  int changes() const { return changes_; }
  void Tick() {
    if (++changes_ == crashAt_) throw Crash{};
  }

  std::unique_ptr<RandomRWFile> Open(const fs::path& path, OpenMode mode,
                                     std::error_code& ec) override {
    const bool creates = mode == OpenMode::kCreateExclusive || mode == OpenMode::kCreateTruncate;
    if (creates) Tick();
    auto file = EnvWrapper::Open(path, mode, ec);
    if (!file || !creates) return file;
    return std::make_unique<CrashFile>(std::move(file), this);
  }
  std::error_code RemoveFile(const fs::path& p) override {
    Tick();
    return EnvWrapper::RemoveFile(p);
  }
  std::error_code Rename(const fs::path& from, const fs::path& to) override {
    Tick();
    return EnvWrapper::Rename(from, to);
  }
  std::error_code Link(const fs::path& existing, const fs::path& newPath) override {
    if (!links_) return std::make_error_code(std::errc::operation_not_supported);
    Tick();
    return EnvWrapper::Link(existing, newPath);
  }
  std::error_code CreateDir(const fs::path& dir) override {
    Tick();
    return EnvWrapper::CreateDir(dir);
  }
  std::error_code RemoveDir(const fs::path& dir) override {
    Tick();
    return EnvWrapper::RemoveDir(dir);
  }

 private:
  class CrashFile : public RandomRWFile {
   public:
    CrashFile(std::unique_ptr<RandomRWFile> inner, CrashEnv* env)
        : inner_(std::move(inner)), env_(env) {}
    int64_t Read(int64_t offset, void* buf, size_t n) override {
      return inner_->Read(offset, buf, n);
    }
    bool Write(int64_t offset, const void* buf, size_t n) override {
      // A write cut off half way leaves half of its bytes.
      if (env_->changes() + 1 == env_->crashAt_ && n > 1) inner_->Write(offset, buf, n / 2);
      env_->Tick();
      return inner_->Write(offset, buf, n);
    }
    int64_t Size() override { return inner_->Size(); }
    bool Sync() override {
      env_->Tick();
      return inner_->Sync();
    }
    bool Close() override { return inner_->Close(); }
    std::error_code LastError() const override { return inner_->LastError(); }

   private:
    std::unique_ptr<RandomRWFile> inner_;
    CrashEnv* env_;
  };

  int crashAt_;
  bool links_;
  int changes_ = 0;
};

TEST_F(SwitchTest, RecoveryAfterACrashAtAnyPointGivesTheOldOrTheNewFiles) {
  for (const bool links : {true, false}) {
    bool sawNew = false;
    bool finished = false;
    for (int n = 1; !finished && n < 200; ++n) {
      SCOPED_TRACE(std::string(links ? "links" : "renames") + ", crash at change " +
                   std::to_string(n));
      const Journal j = Build();
      CrashEnv crashing(DefaultEnv(), n, links);
      std::vector<std::string> warnings;
      try {
        RunSwitch(&crashing, j, warnings);
        finished = true;
      } catch (const CrashEnv::Crash&) {
      }
      ASSERT_NO_THROW(RecoverFolders(&env_, {Zone(), Other()}));
      const Snapshot now = Now();
      if (now == After()) {
        sawNew = true;
      } else {
        // Before the journal was complete on the disk: nothing switched, leftovers swept.
        EXPECT_FALSE(sawNew) << "a crash later in the switch lost the new files";
        EXPECT_EQ(now, BeforeSwept());
      }
    }
    EXPECT_TRUE(finished);
    EXPECT_TRUE(sawNew);
  }
}

// A job that starts in the other folder alone, before any job on the journal's folder, must not
// take the switch's staged files there for leftovers, wherever the switch was cut off.
TEST_F(SwitchTest, CrashThenRecoveryOfTheOtherFolderFirstGivesTheOldOrTheNewFiles) {
  bool finished = false;
  for (int n = 1; !finished && n < 200; ++n) {
    SCOPED_TRACE("crash at change " + std::to_string(n));
    const Journal j = Build();
    CrashEnv crashing(DefaultEnv(), n, true);
    std::vector<std::string> warnings;
    try {
      RunSwitch(&crashing, j, warnings);
      finished = true;
    } catch (const CrashEnv::Crash&) {
    }
    ASSERT_NO_THROW(RecoverFolders(&env_, {Other()}));
    ASSERT_NO_THROW(RecoverFolders(&env_, {Zone()}));
    const Snapshot now = Now();
    EXPECT_TRUE(now == After() || now == BeforeSwept())
        << "half switched: other/Hum.db is \"" << ReadBytes(Other() / "Hum.db")
        << "\", zone/Id.db is \"" << ReadBytes(Zone() / "Id.db") << "\"";
  }
  EXPECT_TRUE(finished);
}

TEST_F(SwitchTest, DamagedJournalIsRemovedAndItsStagedFilesSwept) {
  const Journal j = Build();
  WriteJournalAndPointers(j);
  WriteBytes(Zone() / "Kem.db.zkq-tmp", "temporary");
  std::string bytes = EncodeJournal(j);
  bytes[bytes.size() / 2] ^= 0x04;
  WriteBytes(j.path, bytes);

  RecoveryReport report;
  ASSERT_NO_THROW(report = RecoverFolders(&env_, {Zone(), Other()}));
  EXPECT_TRUE(report.completed.empty());
  std::vector<std::string> removed;
  for (const fs::path& p : report.removed) removed.push_back(p.filename().string());
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{"Hum.db.zkqnew", "Id.db.zkqnew", "Kem.db.zkq-tmp",
                                               "a.txt.zkqnew"}));
  // The switch never began: the files are as they were, the journal and its pointer are gone.
  EXPECT_EQ(Now(), BeforeSwept());
}

TEST_F(SwitchTest, PointerToAnotherSwitchsJournalIsDropped) {
  const Journal j = Build();
  WriteBytes(j.path, EncodeJournal(j));
  Journal other = j;
  other.id = "fedcba9876543210";
  WriteBytes(Other() / kPointerName, PointerBytes(other));

  RecoveryReport report;
  ASSERT_NO_THROW(report = RecoverFolders(&env_, {Other()}));
  EXPECT_TRUE(report.completed.empty());
  // The pointer names nothing left to do; the journal it does not belong to is not run.
  Snapshot want = Before();
  want.erase("other/Hum.db.zkqnew");  // a leftover of the other folder
  want["zone/zkqmerge.journal"] = EncodeJournal(j);
  EXPECT_EQ(Now(), want);
}

TEST_F(SwitchTest, LeftoversAreSweptButLinksAndFoldersOfSuchNamesStay) {
  fs::create_directories(Zone());
  WriteBytes(Path("victim.txt"), "must stay");
  enum What { kFile, kLink, kDir };
  const struct {
    const char* name;
    What what;
    bool removed;
  } cases[] = {
      {"Id.db.zkqnew", kFile, true},
      {"Id.db.zkqnew2", kFile, true},
      {"Hum.db.zkqold", kFile, true},
      {"Kem.db.zkq-tmp", kFile, true},
      {"Kem.db.zkq-upgrade", kFile, true},
      {"Kem.db.zkq-merge", kFile, true},
      {"linked.zkqnew", kLink, false},
      {"linked.zkq-tmp", kLink, false},
      {"folder.zkqnew", kDir, false},
      {"Id.db", kFile, false},
      {"Id.db.20251209-000124.zkqbak", kFile, false},  // a restore point's backup
      {"zkqmerge-20251209-000124.restore", kFile, false},
      {"Id.db.zkqnew.txt", kFile, false},
  };
  for (const auto& c : cases) {
    const fs::path p = Zone() / c.name;
    if (c.what == kFile) WriteBytes(p, c.name);
    if (c.what == kLink) fs::create_symlink(Path("victim.txt"), p);
    if (c.what == kDir) fs::create_directory(p);
  }
  RecoveryReport report;
  ASSERT_NO_THROW(report = RecoverFolders(&env_, {Zone()}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path p = Zone() / c.name;
    EXPECT_EQ(fs::symlink_status(p).type() == fs::file_type::not_found, c.removed);
    EXPECT_EQ(std::count(report.removed.begin(), report.removed.end(), p), c.removed ? 1 : 0);
  }
  EXPECT_EQ(ReadBytes(Path("victim.txt")), "must stay");
  EXPECT_TRUE(fs::is_symlink(Zone() / "linked.zkqnew"));
}

TEST_F(SwitchTest, LinkAtTheJournalsNameIsNeitherFollowedNorRemoved) {
  const Journal j = Build();
  WriteBytes(Path("victim.txt"), EncodeJournal(j));  // even a valid journal behind it
  fs::create_symlink(Path("victim.txt"), j.path);
  const Snapshot before = Now();
  EXPECT_THROW(RecoverFolders(&env_, {Zone()}), FileError);
  EXPECT_EQ(Now(), before);
}

}  // namespace
}  // namespace zkq::platform
