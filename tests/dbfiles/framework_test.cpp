// Behaviour shared by the three database files: short and corrupt input, safe compaction, the
// class-wide IndexLoaded flags and the OpenFile/CloseFile pairing with its locks.
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dbfiles/filedb.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/fileiddb.h"
#include "platform/app_hooks.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::kCharIndexSignature;
using test::PutDouble;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::WriteBytes;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::string;
using Listing = std::vector<std::pair<std::string, int32_t>>;

constexpr size_t kHeaderSize = 124;

Bytes Pattern(size_t size, size_t seed) {
  Bytes r(size, '\0');
  for (size_t i = 0; i < size; ++i) r[i] = static_cast<char>((i * 13 + seed * 29 + 5) & 0xFF);
  return r;
}

// A header with the given SlotCount and LastChangedSlot -1, so that an index file is checked
// against the header alone.
Bytes Header(int32_t slotCount) {
  Bytes h(kHeaderSize, '\0');
  PutShort(h, 0, 35, "signature");
  PutLe32(h, 92, -1);
  PutLe32(h, 104, slotCount);
  PutLe32(h, 112, -1);
  return h;
}

Listing Listed(const TDBFile& f) {
  Listing out;
  for (int i = 0; i < f.NameList().Count(); ++i)
    out.emplace_back(f.NameList().Text(i), f.NameList().Value(i));
  return out;
}

// Index contents for the two files that keep one.
struct IndexContents {
  Listing entries;
  std::vector<int32_t> freeSlots;
  int32_t nameCount;
  int32_t freeCount;
  int32_t slotCount;
  int32_t lastChangedSlot = -1;
};

// ---- the three files, described by their layouts ----

struct AccountFile {
  using File = TFileIDDB;
  static constexpr const char* kDataName = "Id.db";
  static constexpr const char* kTempName = "ID#$00.DB";
  static constexpr size_t kRecordSize = 349;
  static constexpr size_t kIndexHeaderSize = 120;

  static Bytes Record(std::string_view key, bool deleted) {
    Bytes r = Pattern(kRecordSize, key.size());
    r[0] = deleted ? 1 : 0;
    PutShort(r, 32, 10, key);
    return r;
  }
  // The record as the first Add of an empty file stores it, and the header fields it sets.
  static void StampRecord(Bytes& r, double t) {
    r[0] = 0;
    PutDouble(r, 4, t);
    PutDouble(r, 12, t);
  }
  static void StampHeader(Bytes& h, double t) {
    PutDouble(h, 96, t);
    PutLe32(h, 112, -1);
  }
  static bool Add(File& f, std::string_view key) {
    AccountRecord r;
    const Bytes b = Record(key, false);
    std::memcpy(r.bytes.data(), b.data(), b.size());
    return f.Add(r);
  }
  // Drops the live record named "drop".
  static bool Compact(File& f) {
    return f.Compact([](std::string_view name) { return name == "drop"; });
  }
  static bool IndexLoaded() { return File::IndexLoaded(); }
  static std::vector<int32_t> FreeSlots(const File& f) {
    if (f.FreeHead() == -1) return {};
    return {f.FreeHead()};
  }
  static Bytes Index(const IndexContents& s) {
    Bytes out(120 + 16 * s.entries.size(), '\0');
    PutShort(out, 0, 43, "index");
    PutLe32(out, 100, s.nameCount);
    PutLe32(out, 104, s.slotCount);
    PutLe32(out, 108, s.lastChangedSlot);
    for (size_t i = 0; i < s.entries.size(); ++i) {
      PutShort(out, 120 + 16 * i, 11, s.entries[i].first);
      PutLe32(out, 120 + 16 * i + 12, s.entries[i].second);
    }
    return out;
  }
};

struct CharIndexFile {
  using File = TFileHumDB;
  static constexpr const char* kDataName = "Hum.db";
  static constexpr const char* kTempName = "Hum#$00.DB";
  static constexpr size_t kRecordSize = 73;

  static Bytes Record(std::string_view key, bool deleted) {
    Bytes r = Pattern(kRecordSize, key.size());
    r[0] = deleted ? 1 : 0;
    PutDouble(r, 4, 40000.5);
    PutShort(r, 12, 15, key);
    PutShort(r, 28, 14, key);
    PutShort(r, 43, 10, "acct");
    return r;
  }
  static void StampRecord(Bytes& r, double t) {
    r[0] = 0;
    PutDouble(r, 4, t);
  }
  static void StampHeader(Bytes&, double) {}
  static bool Add(File& f, std::string_view key) {
    CharIndexRecord r;
    const Bytes b = Record(key, false);
    std::memcpy(r.bytes.data(), b.data(), b.size());
    return f.Add(r);
  }
  static bool Compact(File& f) { return f.Compact(); }
};

struct CharDataFile {
  using File = TFileDB;
  static constexpr const char* kDataName = "Kem.db";
  static constexpr const char* kTempName = "Kem#$00.DB";
  static constexpr size_t kRecordSize = 24800;
  static constexpr size_t kIndexHeaderSize = 128;

  static Bytes Record(std::string_view key, bool deleted) {
    Bytes r = Pattern(kRecordSize, key.size());
    r[0] = deleted ? 1 : 0;
    PutDouble(r, 4, 40000.5);
    PutShort(r, 12, 15, key);
    return r;
  }
  static void StampRecord(Bytes& r, double t) {
    r[0] = 0;
    PutDouble(r, 4, t);
  }
  static void StampHeader(Bytes& h, double t) { PutDouble(h, 96, t); }
  static bool Add(File& f, std::string_view key) {
    auto r = std::make_unique<CharDataRecord>();
    const Bytes b = Record(key, false);
    std::memcpy(r->bytes.data(), b.data(), b.size());
    return f.Add(*r);
  }
  static bool Compact(File& f) { return f.Compact(nullptr); }
  static bool IndexLoaded() { return File::IndexLoaded(); }
  static std::vector<int32_t> FreeSlots(const File& f) { return f.FreeSlots(); }
  static Bytes Index(const IndexContents& s) {
    Bytes out(128 + 20 * s.entries.size() + 4 * s.freeSlots.size(), '\0');
    // This index is only trusted with its signature.
    PutShort(out, 0, 40, kCharIndexSignature);
    PutLe32(out, 100, s.nameCount);
    PutLe32(out, 104, s.slotCount);
    PutLe32(out, 108, s.freeCount);
    PutLe32(out, 112, s.lastChangedSlot);
    size_t at = 128;
    for (const auto& [name, slot] : s.entries) {
      PutShort(out, at, 15, name);
      PutLe32(out, at + 16, slot);
      at += 20;
    }
    for (const int32_t slot : s.freeSlots) {
      PutLe32(out, at, slot);
      at += 4;
    }
    return out;
  }
};

struct FileNames {
  template <typename T>
  static std::string GetName(int) {
    if (std::is_same_v<T, AccountFile>) return "Account";
    if (std::is_same_v<T, CharIndexFile>) return "CharIndex";
    return "CharData";
  }
};

template <typename T>
class DbFileTest : public test::FileTest {
 protected:
  using File = typename T::File;

  double Reading(int n) const { return env_.clock + n * env_.step; }

  fs::path Folder(const std::string& name) {
    fs::create_directories(Path(name));
    return Path(name);
  }

  static Bytes Records(const std::vector<std::pair<std::string, bool>>& records) {
    Bytes out;
    for (const auto& [key, deleted] : records) out += T::Record(key, deleted);
    return out;
  }

  // Names of everything in a folder.
  static std::set<std::string> Entries(const fs::path& folder) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
    return out;
  }
};

using AllFiles = ::testing::Types<AccountFile, CharIndexFile, CharDataFile>;
TYPED_TEST_SUITE(DbFileTest, AllFiles, FileNames);

// The files with an index file.
template <typename T>
class IndexedFileTest : public DbFileTest<T> {};
using IndexedFiles = ::testing::Types<AccountFile, CharDataFile>;
TYPED_TEST_SUITE(IndexedFileTest, IndexedFiles, FileNames);

// ---- short and empty files ----

TYPED_TEST(DbFileTest, FileShorterThanHeaderScansAsEmpty) {
  using T = TypeParam;
  const fs::path path = this->Path(T::kDataName);
  const Bytes content = Pattern(60, 1);
  WriteBytes(path, content);

  typename T::File db(path);
  EXPECT_EQ(db.NameList().Count(), 0);
  EXPECT_EQ(db.SlotCount(), 0);
  const Bytes header(db.HeaderCopy().begin(), db.HeaderCopy().end());
  EXPECT_EQ(header, content + Bytes(kHeaderSize - content.size(), '\0'));
  EXPECT_TRUE(SameBytes(ReadBytes(path), content));
  EXPECT_TRUE(db.OpenFile());
  db.CloseFile();
}

TYPED_TEST(DbFileTest, FirstAddToEmptyFileWritesHeaderAndSlotZero) {
  using T = TypeParam;
  const fs::path path = this->Path(T::kDataName);
  WriteBytes(path, "");
  typename T::File db(path);
  ASSERT_TRUE(db.OpenFile());
  const double t1 = this->Reading(1);
  const double t2 = this->Reading(2);
  EXPECT_TRUE(T::Add(db, "first"));
  db.CloseFile();

  Bytes header(kHeaderSize, '\0');  // the Description stays empty
  PutLe32(header, 104, 1);
  PutDouble(header, 116, t2);
  T::StampHeader(header, t1);
  Bytes record = T::Record("first", false);
  T::StampRecord(record, t1);
  EXPECT_TRUE(SameBytes(ReadBytes(path), header + record));
  EXPECT_EQ(Listed(db), (Listing{{"first", 0}}));
}

// ---- corrupt input ----

TYPED_TEST(DbFileTest, CorruptDataFileEndsWithASaneObject) {
  using T = TypeParam;
  struct Case {
    const char* label;
    int32_t slotCount;
    size_t wholeRecords;
    size_t strayBytes;
    Listing listed;
    bool addFails;
  };
  const Case cases[] = {
      {"SlotCount 2^31-1 on a tiny file", INT32_MAX, 1, 10, {{"r0", 0}}, false},
      {"negative SlotCount", -7, 2, 0, {}, true},
      {"cut inside a record", 3, 2, 20, {{"r0", 0}, {"r1", 1}}, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path path = this->Folder("case" + std::to_string(n++)) / T::kDataName;
    Bytes content = Header(c.slotCount);
    for (size_t i = 0; i < c.wholeRecords; ++i)
      content += T::Record("r" + std::to_string(i), false);
    content += T::Record("stray", false).substr(0, c.strayBytes);
    WriteBytes(path, content);

    const auto start = std::chrono::steady_clock::now();
    typename T::File db(path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_EQ(Listed(db), c.listed);
    EXPECT_TRUE(SameBytes(ReadBytes(path), content));
    if (c.addFails) {
      ASSERT_TRUE(db.OpenFile());
      EXPECT_FALSE(T::Add(db, "new"));
      db.CloseFile();
      EXPECT_TRUE(SameBytes(ReadBytes(path), content));
    }
  }
}

TYPED_TEST(IndexedFileTest, CorruptIndexFileEndsWithASaneObject) {
  using T = TypeParam;
  const bool charData = std::is_same_v<T, CharDataFile>;
  enum class Expect { kIndex, kScan, kEither };
  struct Case {
    const char* label;
    bool charDataOnly;
    void (*spoil)(IndexContents& contents);
    long keepBytes;  // -1: the whole index; below -1: the header and -keepBytes - 2 bytes more
    Expect expect;
  };
  auto same = [](IndexContents&) {};
  const Case cases[] = {
      {"consistent", false, same, -1, Expect::kIndex},
      {"zero-length", false, same, 0, Expect::kScan},
      {"cut inside its header", false, same, 50, Expect::kScan},
      {"cut inside the second entry", false, same, -2 - 24, Expect::kScan},
      {"NameCount 2^31-1", false, [](IndexContents& s) { s.nameCount = INT32_MAX; }, -1,
       Expect::kScan},
      {"negative NameCount", false, [](IndexContents& s) { s.nameCount = -3; }, -1,
       Expect::kEither},
      {"FreeCount 2^31-1", true, [](IndexContents& s) { s.freeCount = INT32_MAX; }, -1,
       Expect::kScan},
      {"negative FreeCount", true, [](IndexContents& s) { s.freeCount = -3; }, -1, Expect::kEither},
  };
  // The index names slot 0 "byindex" where the file holds "alpha", so that the listing tells
  // which of the two the object used.
  const Listing fromIndex = {{"beta", 2}, {"byindex", 0}};
  const Listing fromScan = {{"alpha", 0}, {"beta", 2}};
  int n = 0;
  for (const Case& c : cases) {
    if (c.charDataOnly && !charData) continue;
    SCOPED_TRACE(c.label);
    const fs::path path = this->Folder("case" + std::to_string(n++)) / T::kDataName;
    const Bytes content =
        Header(3) + this->Records({{"alpha", false}, {"gone", true}, {"beta", false}});
    WriteBytes(path, content);
    IndexContents contents{{{"beta", 2}, {"byindex", 0}}, {1}, 2, 1, 3};
    c.spoil(contents);
    Bytes index = T::Index(contents);
    if (c.keepBytes >= 0) index.resize(static_cast<size_t>(c.keepBytes));
    if (c.keepBytes < -1) index.resize(T::kIndexHeaderSize + static_cast<size_t>(-c.keepBytes - 2));
    const fs::path indexPath = path.string() + ".idx";
    WriteBytes(indexPath, index);

    const auto start = std::chrono::steady_clock::now();
    {
      typename T::File db(path);
      EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
      const Listing listed = Listed(db);
      switch (c.expect) {
        case Expect::kIndex:
          EXPECT_EQ(listed, fromIndex);
          break;
        case Expect::kScan:
          EXPECT_EQ(listed, fromScan);
          break;
        case Expect::kEither:
          EXPECT_LE(listed.size(), 2u);
          break;
      }
      // Whatever was believed, every slot the object would read or write lies in the file.
      for (const auto& [name, slot] : listed) {
        EXPECT_GE(slot, 0) << name;
        EXPECT_LT(slot, 3) << name;
      }
      for (const int32_t slot : T::FreeSlots(db)) {
        EXPECT_GE(slot, 0) << "free slot";
        EXPECT_LT(slot, 3) << "free slot";
      }
      EXPECT_TRUE(db.OpenFile());
      db.CloseFile();
    }
    if (c.expect == Expect::kScan) {
      // The index written at destruction describes the file again.
      typename T::File again(path);
      EXPECT_EQ(Listed(again), fromScan);
    }
  }
}

// A data file that cannot be opened (here: a folder in its place, as when another program
// holds it) tells nothing about its index file: the index is not trusted and not rewritten.
TYPED_TEST(IndexedFileTest, IndexOfUnopenableDataFileIsNeitherTrustedNorRewritten) {
  using T = TypeParam;
  const fs::path path = this->Path(T::kDataName);
  fs::create_directory(path);
  const fs::path indexPath = path.string() + ".idx";
  const Bytes index = T::Index({{{"amy", 0}, {"bob", 1}}, {}, 2, 0, 2});
  WriteBytes(indexPath, index);
  {
    typename T::File db(path);
    EXPECT_EQ(db.NameList().Count(), 0);
    EXPECT_FALSE(db.OpenFile());
    db.CloseFile();
  }
  EXPECT_TRUE(SameBytes(ReadBytes(indexPath), index));
}

// ---- compaction safety ----

TYPED_TEST(DbFileTest, FailedCompactionLeavesDataFileAsItWas) {
  using T = TypeParam;
  struct Case {
    const char* label;
    bool shortFile;
    std::function<void(test::FakeEnv&)> inject;
  };
  const std::string temp = T::kTempName;
  auto onlyTempWrites = [temp](const fs::path& p, int64_t, size_t) { return p.filename() == temp; };
  const Case cases[] = {
      {"rename fails", false,
       [](test::FakeEnv& env) {
         env.renameFault = [](const fs::path&, const fs::path&) {
           return std::make_error_code(std::errc::permission_denied);
         };
       }},
      {"cross-device, then a write of the copy fails", false,
       [temp, onlyTempWrites](test::FakeEnv& env) {
         env.renameFault = [temp](const fs::path& from, const fs::path&) {
           return from.filename() == temp ? std::make_error_code(std::errc::cross_device_link)
                                          : std::error_code();
         };
         env.writeFault = onlyTempWrites;
       }},
      {"cross-device, then the rename of the copy fails", false,
       [](test::FakeEnv& env) {
         env.renameFault = [](const fs::path&, const fs::path&) {
           return std::make_error_code(std::errc::cross_device_link);
         };
       }},
      {"a record write to the temporary file fails", false,
       [temp](test::FakeEnv& env) {
         env.writeFault = [temp](const fs::path& p, int64_t offset, size_t) {
           return !(p.filename() == temp && offset > 0);
         };
       }},
      {"the final header write to the temporary file fails", false,
       [temp](test::FakeEnv& env) {
         auto headerWrites = std::make_shared<int>(0);
         env.writeFault = [temp, headerWrites](const fs::path& p, int64_t offset, size_t) {
           return !(p.filename() == temp && offset == 0 && ++*headerWrites == 2);
         };
       }},
      {"data file shorter than its header", true, [](test::FakeEnv&) {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = this->Folder("case" + std::to_string(n++));
    const fs::path path = folder / T::kDataName;
    const Bytes content =
        c.shortFile
            ? Pattern(100, 3)
            : Header(4) +
                  this->Records(
                      {{"keep1", false}, {"gone", true}, {"drop", false}, {"keep2", false}});
    WriteBytes(path, content);
    {
      typename T::File db(path);
      const Bytes before = ReadBytes(path);  // the account scan relinks its free chain
      c.inject(this->env_);
      EXPECT_FALSE(T::Compact(db));
      this->env_.renameFault = nullptr;
      this->env_.writeFault = nullptr;
      EXPECT_TRUE(SameBytes(ReadBytes(path), before));
      EXPECT_EQ(this->Entries(folder), std::set<std::string>{T::kDataName});
      EXPECT_FALSE(fs::exists(this->Path(T::kTempName)));
    }
  }
}

TYPED_TEST(DbFileTest, CrossDeviceCompactionGivesTheSameFileAsARename) {
  using T = TypeParam;
  const Bytes content =
      Header(4) +
      this->Records({{"keep1", false}, {"gone", true}, {"drop", false}, {"keep2", false}});
  const fs::path direct = this->Folder("direct") / T::kDataName;
  const fs::path copied = this->Folder("copied") / T::kDataName;
  WriteBytes(direct, content);
  WriteBytes(copied, content);
  const double start = this->env_.clock;
  {
    typename T::File db(direct);
    ASSERT_TRUE(T::Compact(db));
  }
  this->env_.clock = start;
  const std::string temp = T::kTempName;
  int crossDevice = 0;
  this->env_.renameFault = [&](const fs::path& from, const fs::path&) {
    if (from.filename() != temp) return std::error_code();
    ++crossDevice;
    return std::make_error_code(std::errc::cross_device_link);
  };
  {
    typename T::File db(copied);
    EXPECT_TRUE(T::Compact(db));
  }
  EXPECT_EQ(crossDevice, 1);
  const Bytes result = ReadBytes(copied);
  EXPECT_TRUE(SameBytes(result, ReadBytes(direct)));
  EXPECT_EQ(result.size(), kHeaderSize + 3 * T::kRecordSize);
  EXPECT_EQ(this->Entries(this->dir_.path()), (std::set<std::string>{"copied", "direct"}));
  std::set<std::string> left = this->Entries(this->Path("copied"));
  left.erase(std::string(T::kDataName) + ".idx");
  EXPECT_EQ(left, std::set<std::string>{T::kDataName});
}

// ---- the class-wide IndexLoaded flag ----

TYPED_TEST(IndexedFileTest, ScanStoppedByShutdownWritesNoIndex) {
  using T = TypeParam;
  const fs::path path = this->Path(T::kDataName);
  WriteBytes(path, Header(2) + this->Records({{"amy", false}, {"bob", false}}));
  platform::SetShuttingDown(true);
  {
    typename T::File db(path);
    platform::SetShuttingDown(false);
    EXPECT_FALSE(T::IndexLoaded());
  }
  EXPECT_FALSE(fs::exists(path.string() + ".idx"));
}

TYPED_TEST(IndexedFileTest, InterruptedBuildOfAnotherObjectStopsEveryIndexSave) {
  using T = TypeParam;
  const fs::path first = this->Folder("first") / T::kDataName;
  const fs::path second = this->Folder("second") / T::kDataName;
  const Bytes content = Header(2) + this->Records({{"amy", false}, {"bob", false}});
  WriteBytes(first, content);
  WriteBytes(second, content);
  {
    typename T::File complete(first);
    EXPECT_TRUE(T::IndexLoaded());
    platform::SetShuttingDown(true);
    typename T::File interrupted(second);
    platform::SetShuttingDown(false);
    EXPECT_FALSE(T::IndexLoaded());
  }
  EXPECT_FALSE(fs::exists(first.string() + ".idx"));
  EXPECT_FALSE(fs::exists(second.string() + ".idx"));
}

class IndexFlagTest : public test::FileTest {};

TEST_F(IndexFlagTest, AccountAndCharDataFlagsAreIndependent) {
  const Bytes accounts = Header(1) + AccountFile::Record("amy", false);
  const Bytes characters = Header(1) + CharDataFile::Record("amy", false);
  for (const bool interruptAccounts : {true, false}) {
    SCOPED_TRACE(interruptAccounts ? "account build interrupted" : "char data build interrupted");
    const fs::path folder = Path(interruptAccounts ? "a" : "b");
    fs::create_directory(folder);
    WriteBytes(folder / "Id.db", accounts);
    WriteBytes(folder / "Kem.db", characters);
    {
      std::unique_ptr<TFileIDDB> id;
      std::unique_ptr<TFileDB> kem;
      if (interruptAccounts) {
        kem = std::make_unique<TFileDB>(folder / "Kem.db");
        platform::SetShuttingDown(true);
        id = std::make_unique<TFileIDDB>(folder / "Id.db");
      } else {
        id = std::make_unique<TFileIDDB>(folder / "Id.db");
        platform::SetShuttingDown(true);
        kem = std::make_unique<TFileDB>(folder / "Kem.db");
      }
      platform::SetShuttingDown(false);
      EXPECT_EQ(TFileIDDB::IndexLoaded(), !interruptAccounts);
      EXPECT_EQ(TFileDB::IndexLoaded(), interruptAccounts);
    }
    EXPECT_EQ(fs::exists(folder / "Id.db.idx"), !interruptAccounts);
    EXPECT_EQ(fs::exists(folder / "Kem.db.idx"), interruptAccounts);
  }
}

// ---- OpenFile / CloseFile ----

// Runs OpenFile and CloseFile of `db` on another thread; the future holds OpenFile's result.
template <typename File>
std::future<bool> OpenAndCloseElsewhere(File& db) {
  return std::async(std::launch::async, [&db] {
    const bool ok = db.OpenFile();
    db.CloseFile();
    return ok;
  });
}

TYPED_TEST(DbFileTest, CloseFileWithoutOpenFileIsHarmless) {
  using T = TypeParam;
  typename T::File db(this->Path(T::kDataName));
  db.CloseFile();
  db.CloseFile();
  auto other = OpenAndCloseElsewhere(db);
  ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(other.get());
  ASSERT_TRUE(db.OpenFile());
  EXPECT_TRUE(T::Add(db, "amy"));
  db.CloseFile();
}

TYPED_TEST(DbFileTest, FailedOpenFileIsPairedWithCloseFile) {
  using T = TypeParam;
  typename T::File db(this->Path("missing") / T::kDataName);
  EXPECT_EQ(db.NameList().Count(), 0);
  EXPECT_FALSE(db.OpenFile());
  EXPECT_FALSE(T::Add(db, "amy"));
  db.CloseFile();
  auto other = OpenAndCloseElsewhere(db);
  ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(other.get());
  EXPECT_FALSE(fs::exists(this->Path("missing")));
}

class FileLockTest : public test::FileTest {};

TEST_F(FileLockTest, CharacterFilesShareOneReentrantLock) {
  fs::create_directory(Path("other"));
  TFileHumDB hum(Path("Hum.db"));
  TFileDB kem(Path("Kem.db"));
  TFileDB otherKem(Path("other") / "Kem.db");

  ASSERT_TRUE(hum.OpenFile());
  ASSERT_TRUE(kem.OpenFile());  // the same thread takes the shared lock again
  EXPECT_TRUE(CharIndexFile::Add(hum, "amy"));
  EXPECT_TRUE(CharDataFile::Add(kem, "amy"));
  auto other = OpenAndCloseElsewhere(otherKem);
  EXPECT_EQ(other.wait_for(200ms), std::future_status::timeout);
  kem.CloseFile();
  EXPECT_EQ(other.wait_for(200ms), std::future_status::timeout);
  hum.CloseFile();
  ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(other.get());
}

TEST_F(FileLockTest, EachAccountFileHasItsOwnLock) {
  TFileIDDB main(Path("main.db"));
  TFileIDDB slave(Path("slave.db"));
  ASSERT_TRUE(main.OpenFile());
  ASSERT_TRUE(slave.OpenFile());  // two account files open in one thread
  slave.CloseFile();

  auto onSlave = OpenAndCloseElsewhere(slave);
  EXPECT_EQ(onSlave.wait_for(10s), std::future_status::ready);
  auto onMain = OpenAndCloseElsewhere(main);
  EXPECT_EQ(onMain.wait_for(200ms), std::future_status::timeout);
  main.CloseFile();
  ASSERT_EQ(onMain.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(onMain.get());
}

}  // namespace
}  // namespace zkq
