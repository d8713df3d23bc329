// The account and character cleanup: which characters go (level and date, strictly; the deleted
// flag; heroes only with their owners), which accounts go (none of the remaining characters
// names them, in any letter case), the three list files, the rebuilt files byte for byte, the
// progress lines, and the failures (a file that cannot be opened, a list that cannot be
// written). Small zones are built byte by byte from the documented layouts; a generated zone
// checks the whole run against a model computed here from the raw files.
#include "cleanup/account_cleanup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "platform/env.h"
#include "platform/lock.h"
#include "support/bytes.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/text_files.h"

#ifdef ZKQ_HAVE_ZONEGEN
#include "zonegen.h"
#endif

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::CrLf;
using test::GetDouble;
using test::PutDouble;
using test::PutLe16;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::ShortAt;
using test::TextRecorder;
using test::WriteBytes;
using Bytes = std::string;
using Lines = std::vector<std::string>;

// Layouts, from the documented offset tables.
constexpr size_t kHeaderSize = 124;
constexpr size_t kIdSize = 349;
constexpr size_t kHumSize = 73;
constexpr size_t kKemSize = 24800;

constexpr size_t kHdrLastChangedSlot = 92;
constexpr size_t kHdrLastChangeTime = 96;
constexpr size_t kHdrSlotCount = 104;
constexpr size_t kHdrFreeHead = 112;
constexpr size_t kHdrLastWriteTime = 116;

constexpr size_t kIdFreeLink = 24;
constexpr size_t kIdName = 32;  // capacity 10

constexpr size_t kHumUpdate = 4;
constexpr size_t kHumKey = 12;       // capacity 15
constexpr size_t kHumCharName = 28;  // capacity 14
constexpr size_t kHumAccount = 43;   // capacity 10
constexpr size_t kHumCharDeleted = 54;

constexpr size_t kKemUpdate = 4;
constexpr size_t kKemKey = 12;       // capacity 15
constexpr size_t kKemCharName = 28;  // capacity 14
constexpr size_t kKemLevel = 72;
constexpr size_t kKemAccount = 255;  // capacity 10
constexpr size_t kKemHero = 19181;   // capacity 14
constexpr size_t kKemOwner = 19196;  // capacity 14

// GBK texts, byte by byte.
const std::string kScanHum = "\xC9\xA8\xC3\xE8HumDB \xBD\xC7\xC9\xAB";  // "扫描HumDB 角色"
const std::string kScanKem = "\xC9\xA8\xC3\xE8KemDB \xBD\xC7\xC9\xAB";  // "扫描KemDB 角色"
const std::string kDeleteChar = "\xC9\xBE\xB3\xFD\xBD\xC7\xC9\xAB";     // "删除角色"
const std::string kDeleteHero =
    "\xC9\xBE\xB3\xFD\xD4\xAA\xC9\xF1\xBD\xC7\xC9\xAB";                   // "删除元神角色"
const std::string kScanId = "\xC9\xA8\xC3\xE8IDDB \xD5\xCA\xBA\xC5";      // "扫描IDDB 帐号"
const std::string kRebuild = "\xD6\xD8\xBD\xA8\xCA\xFD\xBE\xDD\xBF\xE2";  // "重建数据库"
const std::string kZhanShi = "\xD5\xBD\xCA\xBF";                          // "战士"

const fs::path kAccountList = u8"已删除帐号列表.txt";
const fs::path kCharList = u8"已删除角色列表.txt";
const fs::path kHeroList = u8"已删除元神角色列表.txt";

constexpr double kSecond = 1.0 / 86400;
constexpr double kCutoff = 45000.0;  // 2023-03-15 00:00
constexpr double kRecent = 45100.0;
constexpr double kOld = 44000.0;
constexpr int32_t kMinLevel = 35;

// Bytes that differ from record to record, so that a record moved or changed by mistake shows.
Bytes Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n, '\0');
  for (char& c : b) c = static_cast<char>(rng());
  return b;
}

Bytes Header(bool accountFile, size_t slots) {
  Bytes h = Noise(kHeaderSize, 7);
  PutShort(h, 0, accountFile ? 34 : 35,
           accountFile ? test::kAccountFileSignature : test::kCharFileSignature);
  PutLe32(h, kHdrLastChangedSlot, -1);
  PutDouble(h, kHdrLastChangeTime, 0.0);
  PutLe32(h, kHdrSlotCount, static_cast<int32_t>(slots));
  PutLe32(h, 108, 0);
  PutLe32(h, kHdrFreeHead, -1);
  PutDouble(h, kHdrLastWriteTime, 44444.0);
  return h;
}

struct Char {
  Char(std::string name_, std::string account_, uint16_t level_ = 90, double updated_ = kRecent,
       std::string hero_ = {}, std::string owner_ = {})
      : name(std::move(name_)),
        account(std::move(account_)),
        level(level_),
        updated(updated_),
        hero(std::move(hero_)),
        owner(std::move(owner_)) {}
  std::string name;
  std::string account;
  uint16_t level;
  double updated;
  std::string hero;   // HeroName
  std::string owner;  // OwnerName: the record is a hero
  bool charDeleted = false;
};

Bytes HumRecord(const Char& c, uint32_t seed, bool freeSlot = false) {
  Bytes r = Noise(kHumSize, seed);
  r[0] = freeSlot ? 1 : 0;
  PutDouble(r, kHumUpdate, c.updated);
  PutShort(r, kHumKey, 15, c.name);
  PutShort(r, kHumCharName, 14, c.name);
  PutShort(r, kHumAccount, 10, c.account);
  r[kHumCharDeleted] = c.charDeleted ? 1 : 0;
  return r;
}

Bytes KemRecord(const Char& c, uint32_t seed, bool freeSlot = false) {
  Bytes r = Noise(kKemSize, seed);
  r[0] = freeSlot ? 1 : 0;
  PutDouble(r, kKemUpdate, c.updated);
  PutShort(r, kKemKey, 15, c.name);
  PutShort(r, kKemCharName, 14, c.name);
  PutLe16(r, kKemLevel, c.level);
  PutShort(r, kKemAccount, 10, c.account);
  PutShort(r, kKemHero, 14, c.hero);
  PutShort(r, kKemOwner, 14, c.owner);
  return r;
}

Bytes AccountRecord(std::string_view name, uint32_t seed, bool freeSlot = false) {
  Bytes r = Noise(kIdSize, seed);
  r[0] = freeSlot ? 1 : 0;
  PutShort(r, kIdName, 10, name);
  return r;
}

// The records of one zone, in slot order.
struct Zone {
  std::vector<Bytes> id, hum, kem;
  uint32_t seed = 100;

  void Account(std::string_view name) { id.push_back(AccountRecord(name, ++seed)); }
  void FreeAccount(std::string_view name) { id.push_back(AccountRecord(name, ++seed, true)); }
  // A character in both character files.
  void Character(const Char& c) {
    hum.push_back(HumRecord(c, ++seed));
    kem.push_back(KemRecord(c, ++seed));
  }
};

Bytes FileBytes(bool accountFile, const std::vector<Bytes>& records) {
  Bytes out = Header(accountFile, records.size());
  for (const Bytes& r : records) out += r;
  return out;
}

// The live records' names of a file: the slots whose Deleted byte is 0.
Lines LiveNames(const Bytes& file, size_t recordSize, size_t nameOffset, size_t capacity) {
  Lines names;
  for (size_t at = kHeaderSize; at + recordSize <= file.size(); at += recordSize)
    if (file[at] == 0) names.push_back(ShortAt(file, at + nameOffset, capacity));
  return names;
}

class AccountCleanupTest : public test::FileTest {
 protected:
  AccountCleanupTest() {
    Log().Reset();
    Log().AddObserver(&recorder_);
  }
  ~AccountCleanupTest() override {
    Log().RemoveObserver(&recorder_);
    Log().Reset();
  }

  void Write(const Zone& z) {
    // Index files of an earlier zone in the folder would describe other files.
    fs::remove(Path("Id.db.idx"));
    fs::remove(Path("Kem.db.idx"));
    WriteBytes(Path("Id.db"), FileBytes(true, z.id));
    WriteBytes(Path("Hum.db"), FileBytes(false, z.hum));
    WriteBytes(Path("Kem.db"), FileBytes(false, z.kem));
  }

  bool Clean(bool clearDeleted = false, int32_t minLevel = kMinLevel, double cutoff = kCutoff) {
    return CleanAccountsAndCharacters(Path("Id.db"), Path("Hum.db"), Path("Kem.db"), clearDeleted,
                                      minLevel, cutoff);
  }

  Lines KemNames() { return LiveNames(ReadBytes(Path("Kem.db")), kKemSize, kKemCharName, 14); }
  Lines HumNames() { return LiveNames(ReadBytes(Path("Hum.db")), kHumSize, kHumCharName, 14); }
  Lines AccountNames() { return LiveNames(ReadBytes(Path("Id.db")), kIdSize, kIdName, 10); }

  // The content of a list file in the program folder, or nullopt when there is none.
  std::optional<std::string> List(const fs::path& name) {
    if (!fs::exists(Path(name))) return std::nullopt;
    return ReadBytes(Path(name));
  }

  // A rebuilt file: the old header with SlotCount (and the account file's FreeHead) set, a
  // LastWriteTime stamped during the run, and exactly the kept records. The character data
  // file's LastChangedSlot/LastChangeTime are those of its last deletion and checked apart.
  void ExpectRebuilt(const fs::path& name, bool accountFile, const std::vector<Bytes>& kept,
                     int32_t freeHead = -1, bool skipChangeFields = false) {
    const Bytes actual = ReadBytes(Path(name));
    ASSERT_GE(actual.size(), kHeaderSize) << name;
    Bytes expected = FileBytes(accountFile, kept);
    if (accountFile) PutLe32(expected, kHdrFreeHead, freeHead);
    EXPECT_GT(GetDouble(actual, kHdrLastWriteTime), start_) << name;
    Bytes a = actual;
    a.replace(kHdrLastWriteTime, 8, expected, kHdrLastWriteTime, 8);
    if (skipChangeFields) a.replace(kHdrLastChangedSlot, 12, expected, kHdrLastChangedSlot, 12);
    EXPECT_TRUE(SameBytes(a, expected)) << name;
  }

  const double start_ = env_.clock;
  TextRecorder recorder_;
};

// Level and date, both strict: a character at the threshold level or written exactly at the
// cut-off stays. Level is an unsigned word.
TEST_F(AccountCleanupTest, RemovesCharactersBelowTheLevelOrWrittenBeforeTheCutoff) {
  struct Case {
    const char* name;
    uint16_t level;
    double updated;
    bool removed;
  };
  const Case cases[] = {
      {"Lv34New", 34, kRecent, true},
      {"Lv35New", 35, kRecent, false},
      {"Lv35Old", 35, kCutoff - kSecond, true},
      {"Lv35AtCut", 35, kCutoff, false},
      {"Lv999Old", 999, kOld, true},
      {"Lv34AtCut", 34, kCutoff, true},
      {"Lv0New", 0, kRecent, true},
      {"Lv40000New", 40000, kRecent, false},
  };
  Zone z;
  Lines kept, removed, removedAccounts;
  std::vector<Bytes> keptKem, keptHum, keptId;
  for (const Case& c : cases) {
    const std::string account = "acc" + std::to_string(z.id.size());
    z.Account(account);
    z.Character({c.name, account, c.level, c.updated});
    if (c.removed) {
      removed.push_back(c.name);
      removedAccounts.push_back(account);
    } else {
      kept.push_back(c.name);
      keptId.push_back(z.id.back());
      keptHum.push_back(z.hum.back());
      keptKem.push_back(z.kem.back());
    }
  }
  Write(z);

  ASSERT_TRUE(Clean());

  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(KemNames(), kept);
  EXPECT_EQ(HumNames(), kept);
  EXPECT_EQ(List(kCharList), CrLf(removed));
  EXPECT_EQ(List(kAccountList), CrLf(removedAccounts));
  EXPECT_EQ(List(kHeroList), std::nullopt);

  ExpectRebuilt("Id.db", true, keptId);
  ExpectRebuilt("Hum.db", false, keptHum);
  ExpectRebuilt("Kem.db", false, keptKem, -1, true);
}

// A hero goes with its owner whatever its own level, and stays with an owner that stays whatever
// its level; its own record never meets the criteria.
TEST_F(AccountCleanupTest, HeroesGoOnlyWithTheirOwners) {
  Zone z;
  z.Account("acc");
  z.Character({"Low", "acc", 10, kRecent, "LowHero"});
  z.Character({"LowHero", "acc", 99, kRecent, "", "Low"});
  z.Character({"High", "acc", 90, kRecent, "HighHero"});
  z.Character({"HighHero", "acc", 1, kOld, "", "High"});
  z.Character({"Stray", "acc", 1, kOld, "", "Nobody"});  // a hero whose owner is gone
  Write(z);

  ASSERT_TRUE(Clean());

  EXPECT_EQ(KemNames(), (Lines{"High", "HighHero", "Stray"}));
  EXPECT_EQ(HumNames(), (Lines{"High", "HighHero", "Stray"}));
  EXPECT_EQ(List(kCharList), CrLf({"Low"}));
  EXPECT_EQ(List(kHeroList), CrLf({"LowHero"}));
  EXPECT_EQ(List(kAccountList), std::nullopt);
  EXPECT_EQ(AccountNames(), (Lines{"acc"}));
}

// The character-deleted flag counts only when asked for, takes the hero along, and a free slot
// of the character index file that still carries a flag and a live character's name removes
// nothing.
TEST_F(AccountCleanupTest, DeletedFlagRemovesCharactersOnlyWhenAskedAndNeverThroughAFreeSlot) {
  for (const bool clearDeleted : {false, true}) {
    SCOPED_TRACE(clearDeleted);
    Zone z;
    z.Account("acc");
    z.Account("gone");
    Char flagged{"Flagged", "gone", 90, kRecent, "FlagHero"};
    flagged.charDeleted = true;
    z.Character(flagged);
    z.Character({"FlagHero", "gone", 90, kRecent, "", "Flagged"});
    z.Character({"Alive", "acc"});
    Char former{"Alive", "acc"};
    former.charDeleted = true;
    z.hum.push_back(HumRecord(former, 999, /*freeSlot=*/true));
    Write(z);

    ASSERT_TRUE(Clean(clearDeleted));

    if (clearDeleted) {
      EXPECT_EQ(KemNames(), (Lines{"Alive"}));
      EXPECT_EQ(HumNames(), (Lines{"Alive"}));
      EXPECT_EQ(List(kCharList), CrLf({"Flagged"}));
      EXPECT_EQ(List(kHeroList), CrLf({"FlagHero"}));
      EXPECT_EQ(List(kAccountList), CrLf({"gone"}));
    } else {
      EXPECT_EQ(KemNames(), (Lines{"Flagged", "FlagHero", "Alive"}));
      EXPECT_EQ(HumNames(), (Lines{"Flagged", "FlagHero", "Alive"}));
      EXPECT_EQ(List(kCharList), std::nullopt);
      EXPECT_EQ(List(kAccountList), std::nullopt);
    }
  }
}

// Accounts: removed when no remaining character names them (also when none ever did, and a
// free slot's former name), kept while one does in any letter case; a nameless slot is listed
// by nobody and stays. The process-wide lists hold the removed names afterwards.
TEST_F(AccountCleanupTest, RemovesTheAccountsNoRemainingCharacterNames) {
  Process().accountNameMap.Add("stale", "x");
  Process().charNameMap.Add("stale", "y");
  Zone z;
  z.Account("alice");      // 0: her character writes "ALICE"
  z.Account("bob");        // 1: his only character goes
  z.Account("carol");      // 2: never had a character
  z.Account("");           // 3: nameless
  z.FreeAccount("ghost");  // 4: free slot, nobody names it
  z.Account("dave");       // 5: one of two characters goes
  z.FreeAccount("Dave");   // 6: free slot with the name of a kept account
  z.Character({"Al", "ALICE"});
  z.Character({"Bo", "bob", 1});
  z.Character({"Da1", "dave", 1});
  z.Character({"Da2", "dave"});
  Write(z);

  ASSERT_TRUE(Clean());

  EXPECT_EQ(List(kAccountList), CrLf({"bob", "carol", "ghost"}));
  EXPECT_EQ(List(kCharList), CrLf({"Bo", "Da1"}));
  EXPECT_EQ(Process().accountNameMap.Lines(), (Lines{"bob", "carol", "ghost"}));
  EXPECT_EQ(Process().charNameMap.Lines(), (Lines{"Bo", "Da1"}));
  // The free slot that stays is chained afresh: new slot 3, the end of the chain.
  Bytes freeDave = z.id[6];
  PutLe32(freeDave, kIdFreeLink, -1);
  ExpectRebuilt("Id.db", true, {z.id[0], z.id[3], z.id[5], freeDave}, 3);
}

TEST_F(AccountCleanupTest, ListFilesAreInListFileOrder) {
  Zone z;
  for (const std::string& name : Lines{"Carol", "alice", "Bob", kZhanShi}) {
    z.Account(name + "A");
    z.Character({name, name + "A", 1, kRecent, name + "H"});
    z.Character({name + "H", name + "A", 90, kRecent, "", name});
  }
  z.Account("Zed");
  z.Account("amy");
  z.Account("Bo");
  Write(z);

  ASSERT_TRUE(Clean());

  EXPECT_EQ(List(kCharList), CrLf({"alice", "Bob", "Carol", kZhanShi}));
  EXPECT_EQ(List(kHeroList), CrLf({"aliceH", "BobH", "CarolH", kZhanShi + "H"}));
  EXPECT_EQ(List(kAccountList),
            CrLf({"aliceA", "amy", "Bo", "BobA", "CarolA", "Zed", kZhanShi + "A"}));
  EXPECT_TRUE(KemNames().empty());
}

// Nothing meets the criteria: no list is written and older lists stay as they were, but the
// three files are still rebuilt without their free slots (the account file keeps its free
// records, chained afresh).
TEST_F(AccountCleanupTest, RebuildsTheFilesWhenNothingMatches) {
  Zone z;
  z.FreeAccount("acc");  // 0
  z.Account("acc");      // 1
  z.FreeAccount("ACC");  // 2
  z.Character({"One", "acc"});
  Char gone{"Old", "acc"};
  z.hum.push_back(HumRecord(gone, 5, true));
  z.kem.push_back(KemRecord(gone, 6, true));
  z.Character({"Two", "acc"});
  Write(z);
  for (const fs::path& list : {kAccountList, kCharList, kHeroList})
    WriteBytes(Path(list), "older\r\n");

  ASSERT_TRUE(Clean(true));

  for (const fs::path& list : {kAccountList, kCharList, kHeroList})
    EXPECT_EQ(List(list), "older\r\n");
  Bytes free0 = z.id[0], free2 = z.id[2];
  PutLe32(free0, kIdFreeLink, -1);
  PutLe32(free2, kIdFreeLink, 0);
  ExpectRebuilt("Id.db", true, {free0, z.id[1], free2}, 2);
  ExpectRebuilt("Hum.db", false, {z.hum[0], z.hum[2]});
  // No deletion: the character data file's header is the old one apart from the compaction.
  ExpectRebuilt("Kem.db", false, {z.kem[0], z.kem[2]});
}

// A rebuild that cannot put its new file in place leaves that file as it was, and the cleanup
// reports failure instead of claiming the removals happened.
TEST_F(AccountCleanupTest, AFailedRebuildLeavesItsFileAndEndsTheCleanup) {
  Zone z;
  z.Account("acc");
  z.Character({"One", "acc"});
  z.Character({"Two", "acc"});
  Write(z);
  const Bytes kemBefore = ReadBytes(Path("Kem.db"));
  env_.renameFault = [](const fs::path&, const fs::path& to) {
    return to.filename() == "Kem.db" ? std::make_error_code(std::errc::permission_denied)
                                     : std::error_code();
  };

  try {
    Clean();
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), Path("Kem.db"));
  }
  EXPECT_EQ(ReadBytes(Path("Kem.db")), kemBefore);
  EXPECT_FALSE(fs::exists(Path("Kem#$00.DB")));
}

// Every step reports its lines in order; the character data rebuild's notifications are queued
// and arrive when the displaying side delivers them.
TEST_F(AccountCleanupTest, ReportsItsProgressInOrder) {
  Zone z;
  z.Account("b1");
  z.Account("a1");
  Char bob{"Bob", "b1", 90, kRecent, "BobHero"};
  bob.charDeleted = true;
  z.Character(bob);
  z.hum.push_back(HumRecord({"Xfree", "a1"}, 3, true));
  z.Character({"Al", "a1"});
  z.Character({"BobHero", "b1", 90, kRecent, "", "Bob"});
  Write(z);

  ASSERT_TRUE(Clean(true));

  const Lines expected = {
      kScanHum + "Bob",        kScanHum + "Xfree",  kScanHum + "Al",      kScanHum + "BobHero",
      kScanKem + "Al",         kScanKem + "Bob",    kScanKem + "BobHero", kDeleteChar + "Bob",
      kDeleteHero + "BobHero", kScanId + "b1",      kScanId + "a1",       kRebuild + "ID.Db",
      kRebuild + "ID.Db",      kRebuild + "Hum.Db", kRebuild + "Hum.Db",  kRebuild + "Kem.Db",
      kRebuild + "Kem.Db",
  };
  EXPECT_EQ(recorder_.texts, expected);
  EXPECT_EQ(Log().Percent(), 100);

  // Three records, one of them kept: four notifications.
  EXPECT_EQ(Log().DeliverQueued(), 4u);
  Lines all = expected;
  all.insert(all.end(), 4, kRebuild + "Kem.Db");
  EXPECT_EQ(recorder_.texts, all);
}

// Fails every Open of one file, as a file the system refuses to open.
class RefusingEnv : public platform::EnvWrapper {
 public:
  RefusingEnv(platform::Env* target, fs::path refused)
      : EnvWrapper(target), refused_(std::move(refused)) {}
  std::unique_ptr<platform::RandomRWFile> Open(const fs::path& path, platform::OpenMode mode,
                                               std::error_code& ec) override {
    if (path == refused_) {
      ec = std::make_error_code(std::errc::permission_denied);
      return nullptr;
    }
    return EnvWrapper::Open(path, mode, ec);
  }

 private:
  fs::path refused_;
};

// A database file that is missing, is a folder or cannot be opened: false, nothing reported, no
// file changed or created, and the character files' lock is free again.
TEST_F(AccountCleanupTest, AFileThatIsMissingOrCannotBeOpenedChangesNothing) {
  enum Kind { kMissing, kFolder, kRefused };
  for (const Kind kind : {kMissing, kFolder, kRefused}) {
    for (const char* blocked : {"Id.db", "Hum.db", "Kem.db"}) {
      SCOPED_TRACE(std::string(blocked) + " " + std::to_string(kind));
      Zone z;
      z.Account("acc");
      z.Account("lonely");
      z.Character({"Low", "acc", 1});
      Write(z);
      if (kind != kRefused) fs::remove(Path(blocked));
      if (kind == kFolder) fs::create_directory(Path(blocked));
      std::map<std::string, Bytes> before;
      for (const char* f : {"Id.db", "Hum.db", "Kem.db"})
        if (fs::is_regular_file(Path(f))) before[f] = ReadBytes(Path(f));
      recorder_.texts.clear();

      {
        RefusingEnv refusing(&env_, kind == kRefused ? Path(blocked) : fs::path());
        platform::ScopedEnv scoped(&refusing);
        EXPECT_FALSE(Clean());
      }

      for (const auto& [f, bytes] : before) EXPECT_TRUE(SameBytes(ReadBytes(Path(f)), bytes)) << f;
      if (kind == kMissing) {
        EXPECT_FALSE(fs::exists(Path(blocked)));
      }
      for (const fs::path& list : {kAccountList, kCharList, kHeroList})
        EXPECT_FALSE(fs::exists(Path(list)));
      for (const char* temp : {"ID#$00.DB", "Hum#$00.DB", "Kem#$00.DB"})
        EXPECT_FALSE(fs::exists(Path(temp)));
      EXPECT_TRUE(recorder_.texts.empty());

      auto taken = std::make_shared<std::promise<void>>();
      auto done = taken->get_future();
      std::thread([taken] {
        platform::CharacterFilesLock().Lock();
        platform::CharacterFilesLock().Unlock();
        taken->set_value();
      }).detach();
      ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
          << "the character files' lock is still held";

      fs::remove_all(Path(blocked));
    }
  }
}

// A character record the file cuts short is not acted on, not even with the fields of the record
// read before it.
TEST_F(AccountCleanupTest, SkipsACharacterRecordThatCannotBeReadWhole) {
  Zone z;
  z.Account("acc");
  z.Character({"Aaa", "acc", 90, kRecent, "KeptHero"});
  z.Character({"KeptHero", "acc", 90, kRecent, "", "Aaa"});
  z.Character({"Bbb", "acc", 1, kOld, "BbbHero"});
  Write(z);
  // The last record ends after its level but before its hero name.
  Bytes kem = ReadBytes(Path("Kem.db"));
  kem.resize(kem.size() - kKemSize + 200);
  WriteBytes(Path("Kem.db"), kem);

  ASSERT_TRUE(Clean());

  EXPECT_EQ(List(kCharList), std::nullopt);
  EXPECT_EQ(List(kHeroList), std::nullopt);
  EXPECT_EQ(HumNames(), (Lines{"Aaa", "KeptHero", "Bbb"}));
  EXPECT_EQ(std::count(recorder_.texts.begin(), recorder_.texts.end(), kScanKem + "Bbb"), 1);
}

// When a character's deletion mark cannot be written to the character index file, the
// character stays whole (its data record too), and so does its account.
// A deletion mark that cannot be written ends the cleanup: a character is never half removed
// (its data gone while its index record stays).
TEST_F(AccountCleanupTest, AFailedDeletionEndsTheCleanup) {
  Zone z;
  z.Account("acc");
  z.Character({"Low", "acc", 1});
  Write(z);
  const Bytes kemBefore = ReadBytes(Path("Kem.db"));
  const fs::path hum = Path("Hum.db");
  env_.writeFault = [&](const fs::path& file, int64_t offset, size_t) {
    return !(file == hum && offset == static_cast<int64_t>(kHeaderSize));
  };

  try {
    Clean();
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), hum);
  }
  env_.writeFault = nullptr;

  EXPECT_EQ(HumNames(), (Lines{"Low"}));
  EXPECT_EQ(ReadBytes(Path("Kem.db")), kemBefore);
  EXPECT_EQ(List(kAccountList), std::nullopt);
}

// A list file that cannot be written ends the run with the error: the deletions made stay, the
// files are not rebuilt.
TEST_F(AccountCleanupTest, AListThatCannotBeWrittenEndsTheRunBeforeTheRebuilds) {
  Zone z;
  z.Account("acc");
  z.Character({"Low", "acc", 1});
  z.Character({"High", "acc"});
  Write(z);
  fs::create_directory(Path(kCharList));
  fs::create_directory(Path(kCharList) / "x");  // a folder that cannot be replaced

  EXPECT_THROW(Clean(), FileError);

  const Bytes kem = ReadBytes(Path("Kem.db"));
  EXPECT_EQ(kem.size(), kHeaderSize + 2 * kKemSize);  // not rebuilt
  EXPECT_EQ(LiveNames(kem, kKemSize, kKemCharName, 14), (Lines{"High"}));
  EXPECT_EQ(HumNames(), (Lines{"High"}));
  EXPECT_EQ(std::count(recorder_.texts.begin(), recorder_.texts.end(), kRebuild + "ID.Db"), 0);
}

#ifdef ZKQ_HAVE_ZONEGEN

// ASCII letters folded, a GBK character's second byte left alone.
std::string FoldAscii(std::string_view s) {
  std::string out(s);
  for (size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<uint8_t>(out[i]);
    if (c >= 0x81 && c <= 0xFE) {
      ++i;
    } else if (c >= 'a' && c <= 'z') {
      out[i] = static_cast<char>(c - 0x20);
    }
  }
  return out;
}

// Every byte a..z folded: how the files' name lists find a name.
std::string ListKey(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  return s;
}

// Names each once in any letter case, first spelling kept, written in list-file order.
struct Names {
  std::map<std::string, std::string> byFolded;
  void Add(const std::string& n) { byFolded.try_emplace(FoldAscii(n), n); }
  bool Has(const std::string& n) const { return byFolded.count(FoldAscii(n)) != 0; }
  std::optional<std::string> File() const {
    if (byFolded.empty()) return std::nullopt;
    std::vector<std::pair<std::string, std::string>> v(byFolded.begin(), byFolded.end());
    std::sort(v.begin(), v.end());
    Lines lines;
    for (auto& [folded, raw] : v) lines.push_back(raw);
    return CrLf(lines);
  }
};

std::vector<Bytes> Records(const Bytes& file, size_t size) {
  std::vector<Bytes> out;
  for (size_t at = kHeaderSize; at + size <= file.size(); at += size)
    out.push_back(file.substr(at, size));
  return out;
}

// A generated zone (heroes, flagged characters, free slots holding live names, nameless index
// records, noise in every byte) cleaned, against the outcome computed here from its raw files.
TEST_F(AccountCleanupTest, AGeneratedZoneEndsAsTheModelSays) {
  for (const bool clearDeleted : {false, true}) {
    SCOPED_TRACE(clearDeleted);
    const fs::path dir = Path(clearDeleted ? "on" : "off");
    zonegen::ZoneOptions o;
    o.characters = 1200;
    o.seed = 7;
    const zonegen::ZoneSummary sum = zonegen::GenerateZone(dir, o);
    const int32_t minLevel = 40;
    const double cutoff = 43466.0 + 700;  // the generated dates run over 2192 days from 43466

    const std::vector<Bytes> id = Records(ReadBytes(sum.idPath), kIdSize);
    const std::vector<Bytes> hum = Records(ReadBytes(sum.humPath), kHumSize);
    const std::vector<Bytes> kem = Records(ReadBytes(sum.kemPath), kKemSize);
    const Bytes idHeader = ReadBytes(sum.idPath).substr(0, kHeaderSize);
    const Bytes humHeader = ReadBytes(sum.humPath).substr(0, kHeaderSize);

    Names chars, heroes, accounts;
    if (clearDeleted)
      for (const Bytes& r : hum)
        if (r[0] == 0 && r[kHumCharDeleted] != 0 && !ShortAt(r, kHumCharName, 14).empty())
          chars.Add(ShortAt(r, kHumCharName, 14));
    for (const Bytes& r : kem) {
      const std::string name = ShortAt(r, kKemCharName, 14);
      if (r[0] != 0 || ShortAt(r, kKemKey, 15).empty() || name.empty() ||
          !ShortAt(r, kKemOwner, 14).empty())
        continue;
      const uint16_t level = static_cast<uint16_t>(static_cast<uint8_t>(r[kKemLevel]) |
                                                   static_cast<uint8_t>(r[kKemLevel + 1]) << 8);
      bool removed = chars.Has(name);
      if (!removed && (level < minLevel || GetDouble(r, kKemUpdate) < cutoff)) {
        chars.Add(name);
        removed = true;
      }
      const std::string hero = ShortAt(r, kKemHero, 14);
      if (removed && !hero.empty()) heroes.Add(hero);
    }
    std::set<std::string> gone;  // list keys of the deleted names
    for (const auto& [f, n] : chars.byFolded) gone.insert(ListKey(n));
    for (const auto& [f, n] : heroes.byFolded) gone.insert(ListKey(n));

    std::vector<Bytes> keptHum, keptKem, keptId;
    std::set<std::string> owning;
    for (const Bytes& r : hum) {
      if (r[0] != 0) continue;
      const std::string key = ShortAt(r, kHumKey, 15);
      if (!key.empty() && gone.count(ListKey(key))) continue;
      keptHum.push_back(r);
      owning.insert(FoldAscii(ShortAt(r, kHumAccount, 10)));
    }
    for (const Bytes& r : kem)
      if (r[0] == 0 && !gone.count(ListKey(ShortAt(r, kKemKey, 15)))) keptKem.push_back(r);
    for (const Bytes& r : id) {
      const std::string name = ShortAt(r, kIdName, 10);
      if (!name.empty() && !owning.count(FoldAscii(name))) accounts.Add(name);
    }
    int32_t freeHead = -1;
    for (const Bytes& r : id) {
      const std::string name = ShortAt(r, kIdName, 10);
      if (!name.empty() && accounts.Has(name)) continue;
      keptId.push_back(r);
      if (r[0] != 0) {
        PutLe32(keptId.back(), kIdFreeLink, freeHead);
        freeHead = static_cast<int32_t>(keptId.size() - 1);
      }
    }
    ASSERT_GT(chars.byFolded.size(), 100u);
    ASSERT_GT(heroes.byFolded.size(), 10u);
    ASSERT_GT(accounts.byFolded.size(), 10u);
    ASSERT_GT(keptKem.size(), 100u);

    ASSERT_TRUE(CleanAccountsAndCharacters(sum.idPath, sum.humPath, sum.kemPath, clearDeleted,
                                           minLevel, cutoff));

    EXPECT_EQ(List(kCharList), chars.File());
    EXPECT_EQ(List(kHeroList), heroes.File());
    EXPECT_EQ(List(kAccountList), accounts.File());

    auto expectFile = [&](const fs::path& path, Bytes header, const std::vector<Bytes>& kept,
                          size_t size) {
      const Bytes actual = ReadBytes(path);
      ASSERT_EQ(actual.size(), kHeaderSize + kept.size() * size) << path;
      PutLe32(header, kHdrSlotCount, static_cast<int32_t>(kept.size()));
      Bytes a = actual.substr(0, kHeaderSize);
      a.replace(kHdrLastWriteTime, 8, header, kHdrLastWriteTime, 8);
      EXPECT_TRUE(SameBytes(a, header)) << path;
      for (size_t i = 0; i < kept.size(); ++i)
        ASSERT_TRUE(
            SameBytes(std::string_view(actual).substr(kHeaderSize + i * size, size), kept[i]))
            << path << " record " << i;
    };
    Bytes idH = idHeader;
    PutLe32(idH, kHdrFreeHead, freeHead);
    expectFile(sum.idPath, idH, keptId, kIdSize);
    expectFile(sum.humPath, humHeader, keptHum, kHumSize);
    const Bytes kemAfter = ReadBytes(sum.kemPath);
    ASSERT_EQ(kemAfter.size(), kHeaderSize + keptKem.size() * kKemSize);
    for (size_t i = 0; i < keptKem.size(); ++i)
      ASSERT_TRUE(SameBytes(std::string_view(kemAfter).substr(kHeaderSize + i * kKemSize, kKemSize),
                            keptKem[i]))
          << "Kem.db record " << i;

    for (const fs::path& list : {kAccountList, kCharList, kHeroList}) fs::remove(Path(list));
  }
}

#endif  // ZKQ_HAVE_ZONEGEN

}  // namespace
}  // namespace zkq
