// The storage cleanup: personal files (no "." in the name) of characters that the character
// index file no longer holds leave the storage folder; everything else stays. The character
// index files are built byte by byte; names are GBK bytes.
#include "cleanup/storage_cleanup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/progress_log.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "support/bytes.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/text_files.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::ProgressRecorder;
using test::ReadBytes;
using test::U8;
using test::WriteBytes;

// GBK texts, byte by byte.
const std::string kScan = "\xC9\xA8\xC3\xE8\xB8\xF6\xC8\xCB\xCE\xC4\xBC\xFE ";  // "扫描个人文件 "
const std::string kDelete = "\xC9\xBE\xB3\xFD\xB8\xF6\xC8\xCB\xCE\xC4\xBC\xFE ";  // "删除个人文件 "
const std::string kZhangSan = "\xD5\xC5\xC8\xFD";                                 // "张三"
const std::string kZhao = "\xD5\xD4";                                             // "赵"
const std::string kCangKu = "\xB2\xD6\xBF\xE2";                                   // "仓库"
#ifdef _WIN32
const std::string kSep = "\\";
#else
const std::string kSep = "/";
#endif

struct Character {
  std::string name;
  bool freeSlot = false;     // Deleted byte set: the slot is free
  bool charDeleted = false;  // the player deleted the character
};

// A character index file: the 124-byte header (signature, SlotCount at 104) and one 73-byte
// record per character (Deleted at 0, KeyName at 12, CharName at 28, AccountName at 43,
// CharDeleted at 54).
std::string HumDb(const std::vector<Character>& characters) {
  std::string bytes(124, '\0');
  test::PutShort(bytes, 0, 35, test::kCharFileSignature);
  test::PutLe32(bytes, 104, static_cast<int32_t>(characters.size()));
  for (const auto& c : characters) {
    std::string record(73, '\0');
    record[0] = c.freeSlot ? 1 : 0;
    test::PutDouble(record, 4, 45000.5);
    test::PutShort(record, 12, 15, c.name);
    test::PutShort(record, 28, 14, c.name);
    test::PutShort(record, 43, 10, "acct");
    record[54] = c.charDeleted ? 1 : 0;
    bytes += record;
  }
  return bytes;
}

// Fails chosen opens and deletions.
class FaultEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  std::unique_ptr<platform::RandomRWFile> Open(const fs::path& path, platform::OpenMode mode,
                                               std::error_code& ec) override {
    if (failOpen && failOpen(path)) {
      ec = std::make_error_code(std::errc::permission_denied);
      return nullptr;
    }
    return EnvWrapper::Open(path, mode, ec);
  }
  std::error_code RemoveFile(const fs::path& path) override {
    if (failRemove && failRemove(path)) return std::make_error_code(std::errc::permission_denied);
    return EnvWrapper::RemoveFile(path);
  }
  std::function<bool(const fs::path&)> failOpen, failRemove;
};

using Progress = std::vector<std::pair<std::string, int>>;

class StorageCleanupTest : public test::FileTest {
 protected:
  StorageCleanupTest() {
    Log().Reset();
    fs::create_directories(Storage());
  }

  fs::path Storage() const { return Path("Storage"); }
  fs::path Hum() const { return Path("hum.db"); }

  // A file with the given host name whose content tells it apart.
  static void File(const fs::path& path) { WriteBytes(path, "personal " + path.string()); }

  // Every name in the storage folder tree as GBK text, relative to it.
  std::set<std::string> Left() const {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(Storage()))
      names.insert(platform::PathToGbk(e.path().lexically_relative(Storage())));
    return names;
  }
};

TEST_F(StorageCleanupTest, DeletesThePersonalFilesOfCharactersNoLongerHeld) {
  const std::string hum = HumDb({{"Bob"},
                                 {"Frank", true},       // only in a free slot: gone
                                 {"Eve", false, true},  // deleted by the player: still held
                                 {kZhao},
                                 {"Carol.txt"},
                                 {"Dave"}});
  WriteBytes(Hum(), hum);
  for (const char* name : {"bob", "Carol", "Eve", "Frank", "Bob.bak", "Carol.txt", "x.", ".y"})
    File(Storage() / name);
  File(Storage() / U8(*platform::GbkToUtf8(kZhao)));
  // Subfolders are neither entered nor deleted, whatever their names.
  fs::create_directories(Storage() / "Dave");
  fs::create_directories(Storage() / "Gina");
  File(Storage() / "Gina" / "Gina");
  ProgressRecorder progress;

  ASSERT_TRUE(CleanStorage(Storage(), Hum()));

  EXPECT_EQ(Left(), (std::set<std::string>{".y", "Bob.bak", "Carol.txt", "Dave", "Eve", "Gina",
                                           "Gina" + kSep + "Gina", "bob", "x.", kZhao}));
  EXPECT_EQ(ReadBytes(Storage() / "bob"), "personal " + (Storage() / "bob").string());
  const std::string folder = platform::PathToGbk(Storage()) + kSep;
  // Files are scanned in list-file order (ASCII letters folded), one position each, against
  // the fixed total 100; deletions report against their own count.
  EXPECT_EQ(progress.lines, (Progress{{kScan + "bob", 1},
                                      {kScan + "Carol", 2},
                                      {kScan + "Eve", 3},
                                      {kScan + "Frank", 4},
                                      {kScan + kZhao, 5},
                                      {kDelete + folder + "Carol", 50},
                                      {kDelete + folder + "Frank", 100}}));
  // The character index file is only read.
  EXPECT_TRUE(test::SameBytes(ReadBytes(Hum()), hum));
}

#ifndef _WIN32
TEST_F(StorageCleanupTest, RawGbkNamesUnderAChineseFolder) {
  // A storage folder copied from a Windows server without conversion: raw GBK file names in a
  // folder whose own name is UTF-8.
  const fs::path storage = Path(U8("仓库")) / "Storage";
  fs::create_directories(storage);
  WriteBytes(Hum(), HumDb({{kZhao}}));
  File(storage / kZhao);
  File(storage / kZhangSan);
  ProgressRecorder progress;

  ASSERT_TRUE(CleanStorage(storage, Hum()));

  EXPECT_TRUE(fs::exists(storage / kZhao));
  EXPECT_FALSE(fs::exists(storage / kZhangSan));
  const std::string folder = platform::PathToGbk(dir_.path()) + "/" + kCangKu + "/Storage/";
  EXPECT_EQ(
      progress.lines,
      (Progress{{kScan + kZhangSan, 1}, {kScan + kZhao, 2}, {kDelete + folder + kZhangSan, 100}}));
}
#endif

TEST_F(StorageCleanupTest, ScanPositionsRunPastTheFixedTotal) {
  WriteBytes(Hum(), HumDb({{"P075"}}));
  for (int i = 1; i <= 150; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "P%03d", i);
    File(Storage() / name);
    File(Storage() / (std::string(name) + ".bak"));  // neither reported nor counted
  }
  ProgressRecorder progress;

  ASSERT_TRUE(CleanStorage(Storage(), Hum()));

  ASSERT_EQ(progress.lines.size(), 150u + 149u);
  for (int i = 1; i <= 150; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "P%03d", i);
    EXPECT_EQ(progress.lines[static_cast<size_t>(i - 1)],
              (std::pair<std::string, int>{kScan + name, i}));
  }
  // The deletions: 1 to 149 of 149.
  EXPECT_EQ(progress.lines[150].second, 1);
  EXPECT_EQ(progress.lines[150 + 73].first,
            kDelete + platform::PathToGbk(Storage()) + kSep + "P074");
  EXPECT_EQ(progress.lines[150 + 74].first,
            kDelete + platform::PathToGbk(Storage()) + kSep + "P076");
  EXPECT_EQ(progress.lines.back().second, 100);
  EXPECT_EQ(Left().size(), 151u);
  EXPECT_TRUE(fs::exists(Storage() / "P075"));
}

TEST_F(StorageCleanupTest, FileThatCannotBeDeletedIsStillReported) {
  WriteBytes(Hum(), HumDb({}));
  File(Storage() / "Carol");
  File(Storage() / "Dan");
  FaultEnv faults(&env_);
  faults.failRemove = [](const fs::path& p) { return p.filename() == "Carol"; };
  platform::ScopedEnv scoped(&faults);
  ProgressRecorder progress;

  ASSERT_TRUE(CleanStorage(Storage(), Hum()));

  EXPECT_EQ(Left(), (std::set<std::string>{"Carol"}));
  const std::string folder = platform::PathToGbk(Storage()) + kSep;
  EXPECT_EQ(progress.lines, (Progress{{kScan + "Carol", 1},
                                      {kScan + "Dan", 2},
                                      {kDelete + folder + "Carol", 50},
                                      {kDelete + folder + "Dan", 100}}));
}

TEST_F(StorageCleanupTest, FailedPreconditionDeletesNothing) {
  const struct {
    const char* label;
    std::function<void()> breakIt;
    std::function<bool(const fs::path&)> failOpen;
  } cases[] = {
      {"storage folder missing", [this] { fs::remove_all(Storage()); }, nullptr},
      {"storage is a file",
       [this] {
         fs::remove_all(Storage());
         File(Storage());
       },
       nullptr},
      {"index file missing", [this] { fs::remove(Hum()); }, nullptr},
      {"index file is a folder",
       [this] {
         fs::remove(Hum());
         fs::create_directories(Hum());
       },
       nullptr},
      {"index file cannot be opened", [] {}, [this](const fs::path& p) { return p == Hum(); }},
      // A file shorter than a database header is no character index file: read as one it
      // would hold no characters at all.
      {"index file empty", [this] { WriteBytes(Hum(), ""); }, nullptr},
      {"index file shorter than its header",
       [this] { WriteBytes(Hum(), HumDb({}).substr(0, 123)); }, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Storage());
    fs::remove_all(Hum());
    fs::create_directories(Storage());
    WriteBytes(Hum(), HumDb({{"Bob"}}));
    c.breakIt();
    if (fs::is_directory(Storage())) File(Storage() / "Carol");
    const bool humWasFile = fs::is_regular_file(Hum());
    const std::string humBefore = humWasFile ? ReadBytes(Hum()) : "";
    FaultEnv faults(&env_);
    faults.failOpen = c.failOpen;
    platform::ScopedEnv scoped(&faults);
    ProgressRecorder progress;

    EXPECT_FALSE(CleanStorage(Storage(), Hum()));

    EXPECT_TRUE(progress.lines.empty());
    if (fs::is_directory(Storage())) {
      EXPECT_TRUE(fs::exists(Storage() / "Carol"));
    }
    // The index file is neither created nor changed.
    EXPECT_EQ(fs::is_regular_file(Hum()), humWasFile);
    if (humWasFile) {
      EXPECT_EQ(ReadBytes(Hum()), humBefore);
    }
  }
}

}  // namespace
}  // namespace zkq
