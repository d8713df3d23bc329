// The sample-zone generator: a generated zone opens with the three file classes and its files
// agree with one another (names, accounts, heroes, links, items), zones of different seeds
// share the chosen share of names, and one seed always gives the same bytes.
#include "zonegen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "dbfiles/chardata.h"
#include "dbfiles/filedb.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/fileiddb.h"
#include "jobs/batch.h"
#include "platform/codepage.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::GetLe32;
using test::ReadBytes;
using test::SameBytes;
using zonegen::BatchSummary;
using zonegen::GenerateBatch;
using zonegen::GenerateZone;
using zonegen::ZoneOptions;
using zonegen::ZoneSummary;

constexpr size_t kHeaderSize = 124;

class ZoneGenTest : public test::FileTest {};

ZoneOptions Options(int characters, uint64_t seed, double clash, std::string prefix = {}) {
  ZoneOptions o;
  o.characters = characters;
  o.seed = seed;
  o.clash = clash;
  o.prefix = std::move(prefix);
  return o;
}

// The key a name list compares by: every byte a..z folded.
std::string ListKey(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Pairs OpenFile with CloseFile.
template <typename File>
struct Opened {
  explicit Opened(File& f) : file(f), ok(f.OpenFile()) {}
  ~Opened() { file.CloseFile(); }
  File& file;
  bool ok;
};

TEST_F(ZoneGenTest, ZoneOpensAndItsThreeFilesAgree) {
  const ZoneSummary s = GenerateZone(Path("zone"), Options(200, 7, 0.3));
  ASSERT_EQ(s.characters, 200);

  // Headers and sizes, checked against the documented layout.
  struct FileCase {
    fs::path path;
    size_t recordSize;
    const std::string& signature;
    int32_t slots;
  };
  for (const FileCase& f : {FileCase{s.idPath, 349, test::kAccountFileSignature, s.idSlots},
                            FileCase{s.humPath, 73, test::kCharFileSignature, s.humSlots},
                            FileCase{s.kemPath, 24800, test::kCharFileSignature, s.kemSlots}}) {
    SCOPED_TRACE(f.path.string());
    const std::string bytes = ReadBytes(f.path);
    EXPECT_EQ(bytes.size(), kHeaderSize + f.recordSize * static_cast<size_t>(f.slots));
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), f.signature.size());
    EXPECT_EQ(bytes.substr(1, f.signature.size()), f.signature);
    EXPECT_EQ(GetLe32(bytes, 104), f.slots);
  }

  const std::string idBefore = ReadBytes(s.idPath);
  TFileIDDB id(s.idPath);
  TFileHumDB hum(s.humPath);
  TFileDB kem(s.kemPath);
  // The account scan relinks the free chain in the file: it was already linked that way.
  EXPECT_TRUE(SameBytes(ReadBytes(s.idPath), idBefore));
  EXPECT_GE(id.FreeHead(), 0);

  Opened openId(id);
  Opened openHum(hum);
  Opened openKem(kem);
  ASSERT_TRUE(openId.ok && openHum.ok && openKem.ok);

  // Character index: every live named character has a record in Kem.db and an account.
  std::map<std::string, std::string> accountOf;
  std::set<std::string> keys;
  int live = 0, empty = 0, deleted = 0;
  for (int32_t slot = 0; slot < hum.SlotCount(); ++slot) {
    CharIndexRecord r;
    ASSERT_TRUE(hum.ReadSlotChecked(slot, r));
    if (r.Deleted()) {
      ++deleted;
      continue;
    }
    if (r.CharName().empty()) {
      ++empty;
      EXPECT_TRUE(r.KeyName().empty());
      continue;
    }
    ++live;
    const std::string name = r.CharName();
    EXPECT_EQ(r.KeyName(), name);
    EXPECT_TRUE(keys.insert(ListKey(name)).second) << "two characters named " << name;
    EXPECT_GE(kem.FindName(name), 0) << name;
    const int a = id.FindName(r.AccountName());
    ASSERT_GE(a, 0) << r.AccountName();
    EXPECT_EQ(id.NameList().Text(a), r.AccountName());
    accountOf[name] = r.AccountName();
  }
  EXPECT_EQ(live, s.characters);
  EXPECT_EQ(empty, s.emptyHumRecords);
  EXPECT_EQ(deleted, s.deletedHumSlots);
  EXPECT_GT(empty, 0);
  EXPECT_GT(deleted, 0);

  // Character data: names, accounts, heroes, links and items.
  ASSERT_EQ(kem.NameCount(), s.characters);
  EXPECT_EQ(static_cast<int>(kem.FreeSlots().size()), s.deletedKemSlots);
  EXPECT_GT(s.deletedKemSlots, 0);
  std::map<std::string, std::string> heroOf, ownerOf;
  std::set<int32_t> instanceIds;
  int64_t items = 0;
  int refsEqual = 0, topBit = 0, extraLinked = 0, byIndexOnly = 0;
  int gbk = 0, len13 = 0, len14High = 0, len14Low = 0;
  uint16_t minLevel = 0xFFFF, maxLevel = 0;
  double minTime = 1e9, maxTime = 0;
  using R = CharDataRecord;
  for (int pos = 0; pos < kem.NameCount(); ++pos) {
    R r;
    ASSERT_GE(kem.ReadAt(pos, r), 0);
    const std::string name = r.CharName();
    EXPECT_EQ(r.KeyName(), name);
    ASSERT_EQ(accountOf.count(name), 1u) << name << " is not in Hum.db";
    EXPECT_EQ(r.AccountName(), accountOf[name]);
    if (!r.HeroName().empty()) heroOf[name] = r.HeroName();
    if (!r.OwnerName().empty()) ownerOf[name] = r.OwnerName();
    for (const std::string& link :
         {r.ShortString(R::kLinkedCharName1, R::kLinkedCharName1Capacity),
          r.ShortString(R::kLinkedCharName2, R::kLinkedCharName2Capacity)}) {
      if (!link.empty()) {
        EXPECT_GE(kem.FindName(link), 0) << link;
      }
    }
    if (r.ExtraLinkFlag()) {
      ++extraLinked;
      for (size_t field : {R::kExtraName1, R::kExtraName2}) {
        if (!r.ExtraName(field).empty()) {
          EXPECT_GE(kem.FindName(r.ExtraName(field)), 0);
        }
      }
    }
    gbk += std::any_of(name.begin(), name.end(), [](char c) { return uint8_t(c) >= 0x80; });
    len13 += name.size() == 13;
    len14High += name.size() == 14 && uint8_t(name[13]) >= 0x80;
    len14Low += name.size() == 14 && uint8_t(name[13]) < 0x80;
    minLevel = std::min(minLevel, r.Level());
    maxLevel = std::max(maxLevel, r.Level());
    minTime = std::min(minTime, r.UpdateTime());
    maxTime = std::max(maxTime, r.UpdateTime());

    EXPECT_LE(r.Items66Count(), 70);
    struct Array {
      const ItemArray& array;
      int slots;
    };
    for (const Array& a : {Array{R::kItems66, std::min<int>(r.Items66Count(), 66)},
                           Array{R::kItems9, 9}, Array{R::kItems120, 120}, Array{R::kItems20, 20},
                           Array{R::kItems5, 5}, Array{R::kItems30, 30}}) {
      for (int i = 0; i < a.slots; ++i) {
        const uint8_t* item = r.Item(a.array, i);
        const int32_t instance = GetI32(item + useritem::kInstanceId);
        const bool inUse =
            a.array.testedByItemIndex ? GetU16(item + useritem::kItemIndex) != 0 : instance != 0;
        if (!inUse) continue;
        ++items;
        if (instance == 0) {
          ++byIndexOnly;
          continue;
        }
        EXPECT_TRUE(instanceIds.insert(instance).second) << "instance " << instance << " twice";
        refsEqual += GetI32(item + useritem::kInstanceRef) == instance;
        topBit += instance < 0;
      }
    }
  }
  EXPECT_EQ(items, s.items);
  EXPECT_GT(refsEqual, 0);
  EXPECT_GT(topBit, 0);
  EXPECT_GT(byIndexOnly, 0);
  EXPECT_EQ(extraLinked, s.extraLinked);
  EXPECT_GT(extraLinked, 0);
  EXPECT_GT(gbk, 0);
  EXPECT_GT(len13, 0);
  EXPECT_GT(len14High, 0);
  EXPECT_GT(len14Low, 0);
  EXPECT_GE(maxLevel - minLevel, 50);
  EXPECT_GE(maxTime - minTime, 365.0);

  // Heroes and owners name each other and share the account.
  EXPECT_EQ(static_cast<int>(ownerOf.size()), s.heroes);
  EXPECT_GT(s.heroes, 0);
  for (const auto& [owner, hero] : heroOf) {
    EXPECT_EQ(ownerOf[hero], owner) << hero;
    EXPECT_EQ(accountOf[hero], accountOf[owner]) << hero;
  }
  for (const auto& [hero, owner] : ownerOf) EXPECT_EQ(heroOf[owner], hero) << owner;

  // Accounts: each owns one to three characters besides their heroes.
  std::map<std::string, int> owned;
  for (const auto& [name, account] : accountOf)
    if (!ownerOf.count(name)) ++owned[account];
  ASSERT_EQ(id.NameList().Count(), s.accounts);
  bool tenBytes = false;
  for (int i = 0; i < id.NameList().Count(); ++i) {
    const std::string& account = id.NameList().Text(i);
    EXPECT_GE(owned[account], 1) << account;
    EXPECT_LE(owned[account], 3) << account;
    tenBytes |= account.size() == 10;
  }
  EXPECT_TRUE(tenBytes);
  int deletedAccounts = 0;
  for (int32_t slot = 0; slot < id.SlotCount(); ++slot) {
    AccountRecord r;
    ASSERT_TRUE(id.ReadSlotChecked(slot, r));
    deletedAccounts += r.Deleted();
  }
  EXPECT_EQ(deletedAccounts, s.deletedAccountSlots);
}

TEST_F(ZoneGenTest, SameSeedGivesTheSameBytes) {
  const ZoneOptions o = Options(120, 42, 0.3, "pq");
  const ZoneSummary a = GenerateZone(Path("a"), o);
  const ZoneSummary b = GenerateZone(Path("b"), o);
  EXPECT_TRUE(SameBytes(ReadBytes(b.idPath), ReadBytes(a.idPath)));
  EXPECT_TRUE(SameBytes(ReadBytes(b.humPath), ReadBytes(a.humPath)));
  EXPECT_TRUE(SameBytes(ReadBytes(b.kemPath), ReadBytes(a.kemPath)));

  const ZoneSummary c = GenerateZone(Path("c"), Options(120, 43, 0.3, "pq"));
  EXPECT_NE(ReadBytes(c.kemPath), ReadBytes(a.kemPath));
}

TEST_F(ZoneGenTest, RegeneratingRemovesIndexFilesOfTheOldContents) {
  const ZoneSummary a = GenerateZone(Path("z"), Options(50, 1, 0));
  { TFileDB kem(a.kemPath); }
  { TFileIDDB id(a.idPath); }
  ASSERT_TRUE(fs::exists(Path("z/Kem.db.idx")));
  ASSERT_TRUE(fs::exists(Path("z/Id.db.idx")));

  GenerateZone(Path("z"), Options(60, 2, 0));
  EXPECT_FALSE(fs::exists(Path("z/Kem.db.idx")));
  EXPECT_FALSE(fs::exists(Path("z/Id.db.idx")));
  TFileDB kem(a.kemPath);
  EXPECT_EQ(kem.NameCount(), 60);
}

TEST_F(ZoneGenTest, ZonesOfTwoSeedsShareTheClashFractionOfNames) {
  constexpr int kChars = 300;
  for (double clash : {0.0, 0.3, 1.0}) {
    SCOPED_TRACE(clash);
    const fs::path dirA = Path("a" + std::to_string(clash)),
                   dirB = Path("b" + std::to_string(clash));
    GenerateZone(dirA, Options(kChars, 1, clash));
    GenerateZone(dirB, Options(kChars, 2, clash));
    TFileIDDB idA(dirA / "Id.db"), idB(dirB / "Id.db");
    TFileDB kemA(dirA / "Kem.db"), kemB(dirB / "Kem.db");

    // Shared as the merge sees it: the other zone's name list finds the name.
    int sharedChars = 0, otherCase = 0;
    for (int i = 0; i < kemA.NameCount(); ++i) {
      const int at = kemB.FindName(kemA.NameList().Text(i));
      if (at < 0) continue;
      ++sharedChars;
      otherCase += kemB.NameList().Text(at) != kemA.NameList().Text(i);
    }
    EXPECT_NEAR(sharedChars, clash * kChars, 2);
    if (clash > 0 && clash < 1) {
      EXPECT_GT(otherCase, 0) << "no shared name in other letter case";
    }

    int sharedAccounts = 0;
    for (int i = 0; i < idA.NameList().Count(); ++i)
      sharedAccounts += idB.FindName(idA.NameList().Text(i)) >= 0;
    const double expected = clash * std::min(idA.NameList().Count(), idB.NameList().Count());
    EXPECT_NEAR(sharedAccounts, expected, 2);
  }
}

TEST_F(ZoneGenTest, OwnNamesStartWithThePrefix) {
  const ZoneSummary s = GenerateZone(Path("z"), Options(150, 5, 0, "pq"));
  TFileIDDB id(s.idPath);
  TFileDB kem(s.kemPath);
  ASSERT_EQ(kem.NameCount(), 150);
  for (int i = 0; i < kem.NameCount(); ++i)
    EXPECT_EQ(kem.NameList().Text(i).substr(0, 2), "pq") << kem.NameList().Text(i);
  for (int i = 0; i < id.NameList().Count(); ++i)
    EXPECT_EQ(id.NameList().Text(i).substr(0, 2), "pq") << id.NameList().Text(i);
}

TEST_F(ZoneGenTest, OptionsOutOfRangeAreRefusedBeforeAnythingIsWritten) {
  const ZoneOptions cases[] = {
      Options(0, 1, 0),
      Options(10, 1, -0.1),
      Options(10, 1, 1.5),
      Options(10, 1, 0, "abcde"),
  };
  for (const ZoneOptions& o : cases) {
    EXPECT_THROW(GenerateZone(Path("z"), o), std::invalid_argument);
    EXPECT_FALSE(fs::exists(Path("z")));
  }
}

TEST_F(ZoneGenTest, BatchWritesTheZonesAndAConfigurationNamingThem) {
  const BatchSummary b = GenerateBatch("batch", Options(40, 7, 0.3), 2);
  ASSERT_EQ(b.slaves.size(), 2u);
  EXPECT_EQ(b.configPath, fs::path("batch") / "batch.ini");
  EXPECT_EQ(b.main.idPath, fs::path("batch") / "main" / "Id.db");
  EXPECT_EQ(b.slaves[1].kemPath, fs::path("batch") / "slave2" / "Kem.db");

  // GBK text, CR LF, one section; every value an absolute path to the zone's file.
  const std::string bytes = ReadBytes(b.configPath);
  const auto utf8 = platform::GbkToUtf8(bytes);
  ASSERT_TRUE(utf8.has_value()) << "not GBK";
  EXPECT_NE(*utf8, bytes) << "no Chinese text";
  ASSERT_GE(utf8->size(), 2u);
  EXPECT_EQ(utf8->substr(utf8->size() - 2), "\r\n");
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = utf8->find("\r\n", start)) != std::string::npos;
       start = end + 2)
    lines.push_back(utf8->substr(start, end - start));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "[多区合并]");
  std::map<std::string, std::string> keys;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t eq = lines[i].find('=');
    ASSERT_NE(eq, std::string::npos) << lines[i];
    keys[lines[i].substr(0, eq)] = lines[i].substr(eq + 1);
  }
  EXPECT_EQ(keys.size(), lines.size() - 1) << "a key written twice";
  EXPECT_EQ(keys["从区个数"], "2");
  const std::pair<const char*, fs::path> files[] = {
      {"主区id", b.main.idPath},         {"主区hum", b.main.humPath},
      {"主区kem", b.main.kemPath},       {"从区id1", b.slaves[0].idPath},
      {"从区hum1", b.slaves[0].humPath}, {"从区kem1", b.slaves[0].kemPath},
      {"从区id2", b.slaves[1].idPath},   {"从区hum2", b.slaves[1].humPath},
      {"从区kem2", b.slaves[1].kemPath},
  };
  EXPECT_EQ(keys.size(), 1 + std::size(files));
  for (const auto& [key, path] : files) {
    SCOPED_TRACE(key);
    const fs::path value = platform::PathFromUtf8(keys[key]);
    EXPECT_TRUE(value.is_absolute()) << keys[key];
    EXPECT_TRUE(fs::equivalent(value, path));
  }

  // The batch merge reads it and merges every zone.
  EXPECT_TRUE(RunBatch(b.configPath).Complete());
}

TEST_F(ZoneGenTest, BatchRefusesOptionsOutOfRangeBeforeAnythingIsWritten) {
  for (const auto& [options, slaves] :
       {std::pair{Options(10, 1, 0), 0}, std::pair{Options(10, 1, 0), 1001},
        std::pair{Options(0, 1, 0), 2}}) {
    EXPECT_THROW(GenerateBatch(Path("b"), options, slaves), std::invalid_argument);
    EXPECT_FALSE(fs::exists(Path("b")));
  }
}

}  // namespace
}  // namespace zkq
