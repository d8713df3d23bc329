#include "zonegen.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "common/bytes.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/textfile.h"
#include "dbfiles/chardata.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/fileiddb.h"
#include "dbfiles/layout.h"
#include "platform/codepage.h"

namespace zkq::zonegen {

namespace {

namespace fs = std::filesystem;
namespace hdr = layout::dbheader;

// splitmix64: small, fast, and the same sequence on every platform and standard library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n - 1, for n > 0.
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  void Fill(uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
      const uint64_t v = Next();
      for (int b = 0; b < 8 && i < n; ++b, ++i) p[i] = static_cast<uint8_t>(v >> (8 * b));
    }
  }

 private:
  uint64_t state_;
};

uint64_t Hash(uint64_t a, uint64_t b) {
  Rng r(a * 0xD1B54A32D192ED03ull ^ b);
  r.Next();
  return r.Next();
}

// Independent streams of one seed, so that each part of a zone draws its own sequence.
enum Stream : uint64_t {
  kStructure = 1,
  kNames,
  kLinks,
  kLayout,
  kAccountBytes,
  kHumBytes,
  kKemBytes,
  kCaseSalt,
  kNameSalt,
};

Rng StreamRng(uint64_t seed, Stream s) {
  return Rng(Hash(seed, s));
}

// GBK texts used in names.
constexpr std::string_view kWords[] = {
    "\xD5\xBD\xCA\xBF",  // 战士
    "\xB7\xA8\xCA\xA6",  // 法师
    "\xB5\xC0\xCA\xBF",  // 道士
    "\xB4\xCC\xBF\xCD",  // 刺客
    "\xBD\xA3\xBF\xCD",  // 剑客
    "\xB9\xAD\xCA\xD6",  // 弓手
};
constexpr std::string_view kPlayer = "\xCD\xE6\xBC\xD2";  // 玩家
// Characters whose second byte is 0x80 or above.
constexpr std::string_view kHighTails[] = {
    "\xCD\xF5",  // 王
    "\xC1\xFA",  // 龙
    "\xB7\xE7",  // 风
    "\xD4\xC2",  // 月
};
// Characters whose second byte is an ASCII letter: name lists that fold every byte fold it.
constexpr std::string_view kLetterTails[] = {
    "\x82\x62",  // 俠, second byte 'b'
    "\xEF\x4C",  // 風, second byte 'L'
    "\x84\x50",  // 凱, second byte 'P'
};

constexpr std::string_view kSyllables[] = {"Ka", "Ren", "Mo",   "Zen", "Lu",  "Tai", "Shan",
                                           "Yu", "Fei", "Long", "Hu",  "Jin", "Xue", "Ming",
                                           "Qi", "Wu",  "Ao",   "Bai", "Lan", "Su"};

template <size_t N>
std::string_view Pick(const std::string_view (&list)[N], uint64_t h) {
  return list[h % N];
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Drops whole characters from the end of `stem` until `stem` + `rest` fits `total` bytes.
// Stems are plain ASCII or plain GBK.
std::string CutStem(std::string stem, size_t restSize, size_t total) {
  while (!stem.empty() && stem.size() + restSize > total) {
    const bool gbk = static_cast<uint8_t>(stem.back()) >= 0x80;
    stem.resize(stem.size() - (gbk && stem.size() >= 2 ? 2 : 1));
  }
  return stem;
}

// stem, then digits, cut to at most `total` bytes by shortening the stem.
std::string Fit(const std::string& stem, const std::string& digits, size_t total) {
  return CutStem(stem, digits.size(), total) + digits;
}

// stem, zeros, digits: exactly `total` bytes (as long as the digits fit).
std::string Pad(const std::string& stem, const std::string& digits, size_t total) {
  std::string s = CutStem(stem, digits.size(), total);
  const size_t used = s.size() + digits.size();
  if (used < total) s.append(total - used, '0');
  return s + digits;
}

// Upper-cases the ASCII letters of `s` chosen by the bits of `bits`.
std::string WithCasePattern(std::string s, uint64_t bits) {
  int bit = 0;
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') {
      if ((bits >> (bit % 64)) & 1) c = static_cast<char>(c - 'a' + 'A');
      ++bit;
    }
  }
  return s;
}

// The key under which the database name lists see a name: every byte 0x61..0x7A folded, also a
// GBK second byte. Names that differ under it would still clash in a name list.
std::string ListKey(std::string_view name) {
  std::string s(name);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string RandomAlnum(Rng& rng, size_t n, bool capital) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz";
  static constexpr char kAlnum[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += i == 0 ? kLetters[rng.Below(26)] : kAlnum[rng.Below(36)];
  if (capital && !s.empty()) s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// A name of the zone's own, drawn at random behind the prefix (at most 14 bytes).
std::string OwnCharacterName(Rng& rng, const std::string& prefix) {
  const size_t p = prefix.size();
  const uint32_t style = rng.Below(20);
  if (style < 11) {
    const size_t total = 6 + rng.Below(7);
    return prefix + RandomAlnum(rng, std::max<size_t>(6, total > p ? total - p : 0), true);
  }
  if (style < 14) {
    const std::string_view word = Pick(kWords, rng.Next());
    return prefix + std::string(word) + RandomAlnum(rng, std::min<size_t>(6, 14 - 4 - p), false);
  }
  if (style < 16) return prefix + RandomAlnum(rng, 13 - p, true);
  if (style < 18) return prefix + RandomAlnum(rng, 14 - p, true);
  if (style < 19)
    return prefix + RandomAlnum(rng, 12 - p, true) + std::string(Pick(kHighTails, rng.Next()));
  return prefix + RandomAlnum(rng, 12 - p, true) + std::string(Pick(kLetterTails, rng.Next()));
}

// An account name of the zone's own (at most 10 bytes).
std::string OwnAccountName(Rng& rng, const std::string& prefix) {
  const size_t p = prefix.size();
  const uint32_t style = rng.Below(20);
  if (style < 16) {
    const size_t total = 6 + rng.Below(5);
    const size_t n = std::min<size_t>(10 - p, std::max<size_t>(5, total > p ? total - p : 0));
    return prefix + RandomAlnum(rng, n, false);
  }
  if (style < 18) return prefix + std::string(kPlayer) + RandomAlnum(rng, 10 - 4 - p, false);
  return prefix + RandomAlnum(rng, 10 - p, false);
}

// The date-times of the zone: 2019-01-01 to 2024-12-31, to the second.
constexpr double kFirstDay = 43466.0;
constexpr uint32_t kDays = 2192;

double RandomTime(Rng& rng) {
  return kFirstDay + rng.Below(kDays) + rng.Below(86400) / 86400.0;
}

struct Character {
  std::string name;
  int32_t account = 0;
  int32_t owner = -1;  // a hero: its owner
  int32_t hero = -1;   // an owner: its hero
  int32_t link1 = -1, link2 = -1;
  int32_t extra1 = -1, extra2 = -1;
  bool extraFlag = false;
  bool staleExtra = false;  // flag off, but names left in the extra fields
  bool charDeleted = false;
  uint16_t level = 1;
  double updateTime = kFirstDay;
};

struct Zone {
  std::vector<std::string> accounts;
  std::vector<Character> chars;
};

// Where the deleted and empty slots of a file lie among the live ones.
enum SlotKind : uint8_t { kLive, kDeletedSlot, kEmptySlot };

std::vector<uint8_t> SlotLayout(Rng& rng, int live, int deleted, int empty) {
  const size_t total = static_cast<size_t>(live) + deleted + empty;
  std::vector<uint8_t> kinds(total, kLive);
  auto place = [&](int count, uint8_t kind) {
    for (int i = 0; i < count;) {
      const size_t at = rng.Below(static_cast<uint32_t>(total));
      if (kinds[at] != kLive) continue;
      kinds[at] = kind;
      ++i;
    }
  };
  place(deleted, kDeletedSlot);
  place(empty, kEmptySlot);
  return kinds;
}

// Writes a database file: a header placeholder, then records through a large buffer; the real
// header is written last, when every record is known.
class DbWriter {
 public:
  DbWriter(fs::path path, size_t recordSize) : path_(std::move(path)), recordSize_(recordSize) {
    out_.open(path_, std::ios::binary | std::ios::trunc);
    if (!out_) Fail();
    buf_.reserve(kBufferSize + recordSize);
    buf_.resize(hdr::kSize, 0);
  }

  void Put(const uint8_t* record) {
    buf_.insert(buf_.end(), record, record + recordSize_);
    if (buf_.size() >= kBufferSize) Flush();
  }

  void Finish(const uint8_t* header) {
    Flush();
    out_.seekp(0);
    out_.write(reinterpret_cast<const char*>(header), hdr::kSize);
    out_.close();
    if (!out_) Fail();
  }

 private:
  static constexpr size_t kBufferSize = size_t{1} << 20;

  void Flush() {
    out_.write(reinterpret_cast<const char*>(buf_.data()),
               static_cast<std::streamsize>(buf_.size()));
    if (!out_) Fail();
    buf_.clear();
  }
  [[noreturn]] void Fail() {
    const int err = errno;
    throw FileError(path_, err != 0 ? std::generic_category().message(err) : "write failed");
  }

  fs::path path_;
  size_t recordSize_;
  std::ofstream out_;
  std::vector<uint8_t> buf_;
};

struct HeaderFields {
  std::string_view signature;
  size_t capacity;
  int32_t slots;
  int32_t lastChangedSlot;
  double lastChangeTime;
  int32_t freeHead;
  double lastWriteTime;
};

std::array<uint8_t, hdr::kSize> BuildHeader(const HeaderFields& f) {
  std::array<uint8_t, hdr::kSize> h{};
  PutShortString(h.data() + hdr::kDescription, f.capacity, f.signature);
  PutI32(h.data() + hdr::kLastChangedSlot, f.lastChangedSlot);
  PutF64(h.data() + hdr::kLastChangeTime, f.lastChangeTime);
  PutI32(h.data() + hdr::kSlotCount, f.slots);
  PutI32(h.data() + hdr::kReserved108, 0);
  PutI32(h.data() + hdr::kFreeHead, f.freeHead);
  PutF64(h.data() + hdr::kLastWriteTime, f.lastWriteTime);
  return h;
}

// Builds the zone's accounts and characters with their names and links.
Zone PlanZone(const ZoneOptions& o) {
  Zone z;
  const size_t n = static_cast<size_t>(o.characters);
  z.chars.reserve(n);

  Rng rs = StreamRng(o.seed, kStructure);
  while (z.chars.size() < n) {
    const auto account = static_cast<int32_t>(z.accounts.size());
    z.accounts.emplace_back();
    const uint32_t regular = 1 + rs.Below(3);
    for (uint32_t r = 0; r < regular && z.chars.size() < n; ++r) {
      const auto self = static_cast<int32_t>(z.chars.size());
      Character c;
      c.account = account;
      c.level = static_cast<uint16_t>(1 + rs.Below(rs.OneIn(4) ? 150 : 80));
      c.updateTime = RandomTime(rs);
      c.charDeleted = rs.OneIn(30);
      z.chars.push_back(c);
      if (z.chars.size() < n && rs.OneIn(5)) {
        Character hero;
        hero.account = account;
        hero.owner = self;
        hero.level = static_cast<uint16_t>(1 + rs.Below(80));
        hero.updateTime = RandomTime(rs);
        z.chars[static_cast<size_t>(self)].hero = static_cast<int32_t>(z.chars.size());
        z.chars.push_back(hero);
      }
    }
  }

  // Names: the first `clash` share of the common lists at shuffled places, the rest drawn.
  Rng rn = StreamRng(o.seed, kNames);
  auto assign = [&](size_t count, auto&& slotName, auto&& setName, auto&& common, auto&& own) {
    std::vector<int32_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = static_cast<int32_t>(i);
    for (size_t i = count; i > 1; --i)
      std::swap(order[i - 1], order[rn.Below(static_cast<uint32_t>(i))]);
    const auto shared = static_cast<size_t>(std::llround(o.clash * static_cast<double>(count)));
    std::unordered_set<std::string> taken;
    taken.reserve(count * 2);
    for (size_t k = 0; k < shared; ++k) {
      std::string name = common(static_cast<int64_t>(k));
      taken.insert(ListKey(name));
      setName(static_cast<size_t>(order[k]), std::move(name));
    }
    for (size_t i = 0; i < count; ++i) {
      if (!slotName(i).empty()) continue;
      std::string name;
      do name = own();
      while (!taken.insert(ListKey(name)).second);
      setName(i, std::move(name));
    }
    return static_cast<int>(shared);
  };
  assign(
      z.accounts.size(), [&](size_t i) -> const std::string& { return z.accounts[i]; },
      [&](size_t i, std::string s) { z.accounts[i] = std::move(s); },
      [&](int64_t k) { return CommonAccountName(k, o.seed); },
      [&] { return OwnAccountName(rn, o.prefix); });
  assign(
      n, [&](size_t i) -> const std::string& { return z.chars[i].name; },
      [&](size_t i, std::string s) { z.chars[i].name = std::move(s); },
      [&](int64_t k) { return CommonCharacterName(k, o.seed); },
      [&] { return OwnCharacterName(rn, o.prefix); });

  // Links to other characters of the zone.
  Rng rl = StreamRng(o.seed, kLinks);
  auto other = [&](size_t self) {
    if (n < 2) return int32_t{-1};
    size_t j = rl.Below(static_cast<uint32_t>(n - 1));
    if (j >= self) ++j;
    return static_cast<int32_t>(j);
  };
  for (size_t i = 0; i < n; ++i) {
    Character& c = z.chars[i];
    if (rl.Below(100) < 15) c.link1 = other(i);
    if (rl.Below(100) < 10) c.link2 = other(i);
    const uint32_t extra = rl.Below(100);
    if (extra < 15) {
      c.extraFlag = extra < 10;
      c.staleExtra = !c.extraFlag;
      c.extra1 = other(i);
      c.extra2 = rl.OneIn(2) ? other(i) : -1;
    }
  }
  return z;
}

// A former name for a deleted slot: a live name of the zone or one drawn afresh.
template <typename LiveName, typename FreshName>
std::string FormerName(Rng& rng, size_t liveCount, LiveName&& live, FreshName&& fresh) {
  if (liveCount > 0 && rng.OneIn(2)) return live(rng.Below(static_cast<uint32_t>(liveCount)));
  return fresh();
}

// Item numbers of the zone: one running counter, a few numbers with the top bit set.
struct ItemNumbers {
  uint32_t next;
  int32_t Take(Rng& rng) {
    uint32_t id = next++;
    if (rng.OneIn(500)) id |= 0x80000000u;
    return static_cast<int32_t>(id);
  }
};

void PutItem(uint8_t* p, Rng& rng, int32_t id, uint16_t itemIndex) {
  rng.Fill(p, useritem::kSize);
  PutI32(p + useritem::kInstanceId, id);
  PutU16(p + useritem::kItemIndex, itemIndex);
  int32_t ref = 0;
  const uint32_t r = rng.Below(10);
  if (r < 3) {
    ref = id;
  } else if (r < 6) {
    ref = static_cast<int32_t>(rng.Next());
  }
  PutI32(p + useritem::kInstanceRef, ref);
}

uint16_t RandomItemIndex(Rng& rng) {
  return static_cast<uint16_t>(1 + rng.Below(4000));
}

// Fills the six item arrays; returns how many slots a renumbering would number.
int FillItems(CharDataRecord& rec, Rng& rng, ItemNumbers& numbers) {
  using R = CharDataRecord;
  for (const ItemArray* a :
       {&R::kItems9, &R::kItems66, &R::kItems120, &R::kItems20, &R::kItems5, &R::kItems30})
    std::memset(rec.Item(*a, 0), 0, useritem::kSize * static_cast<size_t>(a->count));

  int inUse = 0;
  const auto count = static_cast<uint8_t>(rng.Below(71));
  rec.bytes[R::kItems66Count] = count;
  const int listed = std::min<int>(count, R::kItems66.count);
  for (int s = 0; s < listed; ++s) {
    if (rng.OneIn(30)) {
      PutItem(rec.Item(R::kItems66, s), rng, 0, RandomItemIndex(rng));  // an empty entry
    } else {
      PutItem(rec.Item(R::kItems66, s), rng, numbers.Take(rng), RandomItemIndex(rng));
      ++inUse;
    }
  }
  // A stale item behind the count: not part of the list.
  if (listed < R::kItems66.count && rng.OneIn(10))
    PutItem(rec.Item(R::kItems66, listed), rng, numbers.Take(rng), RandomItemIndex(rng));

  for (const ItemArray* a : {&R::kItems9, &R::kItems5}) {
    for (int s = 0; s < a->count; ++s) {
      if (rng.Below(5) >= 2) continue;
      const int32_t id = rng.OneIn(10) ? 0 : numbers.Take(rng);
      PutItem(rec.Item(*a, s), rng, id, RandomItemIndex(rng));
      ++inUse;
    }
  }
  struct Sparse {
    const ItemArray* array;
    uint32_t oneIn;
  };
  for (const Sparse& sp :
       {Sparse{&R::kItems120, 24}, Sparse{&R::kItems20, 7}, Sparse{&R::kItems30, 10}}) {
    for (int s = 0; s < sp.array->count; ++s) {
      if (rng.OneIn(sp.oneIn)) {
        PutItem(rec.Item(*sp.array, s), rng, numbers.Take(rng), RandomItemIndex(rng));
        ++inUse;
      } else if (rng.OneIn(120)) {
        PutItem(rec.Item(*sp.array, s), rng, 0, RandomItemIndex(rng));  // no instance: not in use
      }
    }
  }
  return inUse;
}

const std::string& NameOr(const Zone& z, int32_t i) {
  static const std::string kEmpty;
  return i >= 0 ? z.chars[static_cast<size_t>(i)].name : kEmpty;
}

void WriteAccounts(const fs::path& path, const Zone& z, const ZoneOptions& o, ZoneSummary& sum) {
  const int live = static_cast<int>(z.accounts.size());
  const int deleted = std::max(2, live / 40);
  Rng rlay = StreamRng(o.seed, kLayout);
  const std::vector<uint8_t> kinds = SlotLayout(rlay, live, deleted, 0);

  Rng rng = StreamRng(o.seed, kAccountBytes);
  DbWriter out(path, AccountRecord::kSize);
  AccountRecord rec;
  int32_t lastDeleted = -1, lastLive = -1;
  double lastLiveTime = 0, newest = kFirstDay;
  size_t next = 0;
  for (size_t slot = 0; slot < kinds.size(); ++slot) {
    uint8_t* b = rec.bytes.data();
    rng.Fill(b, AccountRecord::kSize);
    const double update = RandomTime(rng);
    const double create =
        std::max(kFirstDay, update - rng.Below(1000) - rng.Below(86400) / 86400.0);
    PutF64(b + AccountRecord::kCreateTime, create);
    PutF64(b + AccountRecord::kUpdateTime, update);
    newest = std::max(newest, update);
    if (kinds[slot] == kDeletedSlot) {
      b[AccountRecord::kDeleted] = 1;
      PutI32(b + AccountRecord::kFreeLink, lastDeleted);
      rec.SetAccountName(FormerName(
          rng, z.accounts.size(), [&](size_t i) { return z.accounts[i]; },
          [&] { return OwnAccountName(rng, o.prefix); }));
      lastDeleted = static_cast<int32_t>(slot);
    } else {
      b[AccountRecord::kDeleted] = 0;
      rec.SetAccountName(z.accounts[next++]);
      lastLive = static_cast<int32_t>(slot);
      lastLiveTime = update;
    }
    out.Put(b);
  }
  const auto slots = static_cast<int32_t>(kinds.size());
  out.Finish(BuildHeader({layout::kAccountFileSignature, hdr::kAccountDescriptionCapacity, slots,
                          lastLive, lastLiveTime, lastDeleted, newest + 1.0 / 86400})
                 .data());
  sum.idSlots = slots;
  sum.deletedAccountSlots = deleted;
}

void WriteCharIndex(const fs::path& path, const Zone& z, const ZoneOptions& o, ZoneSummary& sum) {
  const int live = static_cast<int>(z.chars.size());
  const int deleted = std::max(2, live / 40);
  const int empty = std::max(1, live / 200);
  Rng rlay = StreamRng(o.seed ^ 0x1111, kLayout);
  const std::vector<uint8_t> kinds = SlotLayout(rlay, live, deleted, empty);

  Rng rng = StreamRng(o.seed, kHumBytes);
  DbWriter out(path, CharIndexRecord::kSize);
  CharIndexRecord rec;
  double newest = kFirstDay;
  size_t next = 0;
  for (size_t slot = 0; slot < kinds.size(); ++slot) {
    uint8_t* b = rec.bytes.data();
    rng.Fill(b, CharIndexRecord::kSize);
    PutU16(b + CharIndexRecord::kHeaderWord, static_cast<uint16_t>(rng.Below(4)));
    std::string name, account;
    double update = RandomTime(rng);
    bool charDeleted = false;
    b[CharIndexRecord::kDeleted] = 0;
    if (kinds[slot] == kDeletedSlot) {
      b[CharIndexRecord::kDeleted] = 1;
      const size_t j = rng.Below(static_cast<uint32_t>(z.chars.size()));
      name = FormerName(
          rng, z.chars.size(), [&](size_t i) { return z.chars[i].name; },
          [&] { return OwnCharacterName(rng, o.prefix); });
      account = z.accounts[static_cast<size_t>(z.chars[j].account)];
      charDeleted = rng.OneIn(2);
    } else if (kinds[slot] == kLive) {
      const Character& c = z.chars[next++];
      name = c.name;
      account = z.accounts[static_cast<size_t>(c.account)];
      update = c.updateTime;
      charDeleted = c.charDeleted;
    }
    rec.SetKeyName(name);
    rec.SetCharName(name);
    rec.SetAccountName(account);
    b[CharIndexRecord::kCharDeleted] = charDeleted ? 1 : 0;
    PutF64(b + CharIndexRecord::kUpdateTime, update);
    newest = std::max(newest, update);
    out.Put(b);
  }
  const auto slots = static_cast<int32_t>(kinds.size());
  out.Finish(BuildHeader({layout::kCharFileSignature, hdr::kDescriptionCapacity, slots, -1, 0.0, 0,
                          newest + 1.0 / 86400})
                 .data());
  sum.humSlots = slots;
  sum.deletedHumSlots = deleted;
  sum.emptyHumRecords = empty;
}

void BuildCharacter(CharDataRecord& rec, const Zone& z, const Character& c, Rng& rng,
                    ItemNumbers& numbers, int& items) {
  using R = CharDataRecord;
  uint8_t* b = rec.bytes.data();
  rng.Fill(b, R::kSize);
  b[R::kDeleted] = 0;
  PutF64(b + R::kUpdateTime, c.updateTime);
  rec.SetShortString(R::kKeyName, R::kKeyNameCapacity, c.name);
  rec.SetShortString(R::kCharName, R::kCharNameCapacity, c.name);
  PutU16(b + R::kLevel, c.level);
  rec.SetShortString(R::kLinkedCharName1, R::kLinkedCharName1Capacity, NameOr(z, c.link1));
  rec.SetShortString(R::kLinkedCharName2, R::kLinkedCharName2Capacity, NameOr(z, c.link2));
  b[R::kExtraLinkFlag] = c.extraFlag ? 1 : 0;
  if (c.extraFlag || c.staleExtra) {
    rec.SetExtraName(R::kExtraName1, NameOr(z, c.extra1));
    rec.SetExtraName(R::kExtraName2, NameOr(z, c.extra2));
  }
  rec.SetShortString(R::kAccountName, R::kAccountNameCapacity,
                     z.accounts[static_cast<size_t>(c.account)]);
  rec.SetShortString(R::kHeroName, R::kHeroNameCapacity, NameOr(z, c.hero));
  rec.SetShortString(R::kOwnerName, R::kOwnerNameCapacity, NameOr(z, c.owner));
  items = FillItems(rec, rng, numbers);
}

void WriteCharData(const fs::path& path, const Zone& z, const ZoneOptions& o, ZoneSummary& sum) {
  const int live = static_cast<int>(z.chars.size());
  const int deleted = std::max(2, live / 40);
  Rng rlay = StreamRng(o.seed ^ 0x2222, kLayout);
  const std::vector<uint8_t> kinds = SlotLayout(rlay, live, deleted, 0);

  Rng rng = StreamRng(o.seed, kKemBytes);
  ItemNumbers numbers{1 + rng.Below(1000)};
  DbWriter out(path, CharDataRecord::kSize);
  CharDataRecord rec;  // the one record held in memory
  int32_t lastLive = -1;
  double lastLiveTime = 0, newest = kFirstDay;
  size_t next = 0;
  for (size_t slot = 0; slot < kinds.size(); ++slot) {
    int items = 0;
    if (kinds[slot] == kDeletedSlot) {
      Character former;
      former.name = FormerName(
          rng, z.chars.size(), [&](size_t i) { return z.chars[i].name; },
          [&] { return OwnCharacterName(rng, o.prefix); });
      former.account = static_cast<int32_t>(rng.Below(static_cast<uint32_t>(z.accounts.size())));
      former.level = static_cast<uint16_t>(1 + rng.Below(80));
      former.updateTime = RandomTime(rng);
      BuildCharacter(rec, z, former, rng, numbers, items);
      rec.bytes[CharDataRecord::kDeleted] = 1;
      newest = std::max(newest, former.updateTime);
    } else {
      const Character& c = z.chars[next++];
      BuildCharacter(rec, z, c, rng, numbers, items);
      sum.items += items;
      lastLive = static_cast<int32_t>(slot);
      lastLiveTime = c.updateTime;
      newest = std::max(newest, c.updateTime);
    }
    out.Put(rec.bytes.data());
  }
  const auto slots = static_cast<int32_t>(kinds.size());
  out.Finish(BuildHeader({layout::kCharFileSignature, hdr::kDescriptionCapacity, slots, lastLive,
                          lastLiveTime, 0, newest + 1.0 / 86400})
                 .data());
  sum.kemSlots = slots;
  sum.deletedKemSlots = deleted;
}

}  // namespace

std::string CommonCharacterName(int64_t k, uint64_t seed) {
  const uint64_t h = Hash(static_cast<uint64_t>(k), kNameSalt);
  const std::string digits = std::to_string(k);
  const std::string one(Pick(kSyllables, h));
  const std::string two = one + Lower(std::string(Pick(kSyllables, h >> 16)));
  const std::string word(Pick(kWords, h >> 32));
  switch (k % 10) {
    case 0:
    case 1:
      return Fit(two, digits, 14);
    case 2:
      return Fit(one, digits, 14);
    case 3:  // the letter case differs from zone to zone
      return WithCasePattern(Lower(Fit(two, digits, 14)),
                             Hash(static_cast<uint64_t>(k), seed ^ kCaseSalt));
    case 4:
      return Fit(word, digits, 14);
    case 5:
      return Pad(two, digits, 13);
    case 6:
      return Pad(two, digits, 14);  // 14th byte below 0x80
    case 7:
      return Pad(word, digits, 12) + std::string(Pick(kHighTails, h >> 40));  // 14th byte >= 0x80
    case 8:
      return Pad(word, digits, 12) +
             std::string(Pick(kLetterTails, h >> 40));  // 14th byte a letter
    default:
      return Pad(word, digits, 11) + std::string(Pick(kHighTails, h >> 40));  // 13 bytes, GBK last
  }
}

std::string CommonAccountName(int64_t k, uint64_t seed) {
  const uint64_t h = Hash(static_cast<uint64_t>(k), kNameSalt + 1);
  const std::string digits = std::to_string(k);
  const std::string one = Lower(std::string(Pick(kSyllables, h)));
  const std::string two = one + Lower(std::string(Pick(kSyllables, h >> 16)));
  switch (k % 10) {
    case 0:
    case 1:
    case 2:
      return Fit(two, digits, 10);
    case 3:  // the letter case differs from zone to zone
      return WithCasePattern(Fit(two, digits, 10),
                             Hash(static_cast<uint64_t>(k), seed ^ kCaseSalt));
    case 4:
      return Pad(two, digits, 10);
    case 5:
      return Fit(std::string(kPlayer), digits, 10);
    case 6:  // 10 bytes, the last two a GBK character that a cut to 9 bytes splits
      return Pad(two, digits, 8) + std::string(Pick(kHighTails, h >> 40));
    case 7:
      return Pad(one, digits, 9);
    default:
      return Fit(one, digits, 10);
  }
}

namespace {

void CheckOptions(const ZoneOptions& options) {
  if (options.characters < 1) throw std::invalid_argument("the character count must be at least 1");
  if (options.characters > 5'000'000)
    throw std::invalid_argument("the character count must be at most 5000000");
  if (!(options.clash >= 0.0 && options.clash <= 1.0))
    throw std::invalid_argument("the clash fraction must lie between 0 and 1");
  if (options.prefix.size() > 4)
    throw std::invalid_argument("the name prefix may have at most 4 bytes");
}

// An absolute path as the GBK text the batch merge reads back into the same path. On POSIX a
// name that is not valid UTF-8 is already GBK bytes, and the batch merge takes it as it stands.
std::string AbsolutePathAsGbk(const fs::path& path) {
  const std::u8string u8 = fs::absolute(path).lexically_normal().u8string();
  const std::string text(u8.begin(), u8.end());
  if (!platform::IsValidUtf8(text)) return text;
  if (auto gbk = platform::Utf8ToGbk(text)) return *gbk;
  throw std::invalid_argument("the path has characters without a GBK form: " + text);
}

}  // namespace

ZoneSummary GenerateZone(const fs::path& dir, const ZoneOptions& options) {
  CheckOptions(options);

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw FileError(dir, ec.message());

  ZoneSummary sum;
  sum.idPath = dir / "Id.db";
  sum.humPath = dir / "Hum.db";
  sum.kemPath = dir / "Kem.db";
  // Index files of earlier contents would no longer describe the new files.
  for (const fs::path& idx : {dir / "Id.db.idx", dir / "Kem.db.idx"}) {
    fs::remove(idx, ec);
    if (ec) throw FileError(idx, ec.message());
  }

  const Zone z = PlanZone(options);
  sum.accounts = static_cast<int>(z.accounts.size());
  sum.characters = static_cast<int>(z.chars.size());
  sum.sharedAccounts =
      static_cast<int>(std::llround(options.clash * static_cast<double>(z.accounts.size())));
  sum.sharedCharacters =
      static_cast<int>(std::llround(options.clash * static_cast<double>(z.chars.size())));
  for (const Character& c : z.chars) {
    sum.heroes += c.owner >= 0;
    sum.charDeleted += c.charDeleted;
    sum.linkedNames += (c.link1 >= 0) + (c.link2 >= 0);
    sum.extraLinked += c.extraFlag;
  }

  WriteAccounts(sum.idPath, z, options, sum);
  WriteCharIndex(sum.humPath, z, options, sum);
  WriteCharData(sum.kemPath, z, options, sum);
  return sum;
}

void WriteBatchConfig(const fs::path& file, const ZoneSummary& main,
                      const std::vector<ZoneSummary>& slaves) {
  std::vector<std::string> lines = {Gbk("[多区合并]"),
                                    Gbk("从区个数=") + std::to_string(slaves.size()),
                                    Gbk("主区id=") + AbsolutePathAsGbk(main.idPath),
                                    Gbk("主区hum=") + AbsolutePathAsGbk(main.humPath),
                                    Gbk("主区kem=") + AbsolutePathAsGbk(main.kemPath)};
  for (size_t k = 0; k < slaves.size(); ++k) {
    const std::string n = std::to_string(k + 1);
    lines.push_back(Gbk("从区id") + n + "=" + AbsolutePathAsGbk(slaves[k].idPath));
    lines.push_back(Gbk("从区hum") + n + "=" + AbsolutePathAsGbk(slaves[k].humPath));
    lines.push_back(Gbk("从区kem") + n + "=" + AbsolutePathAsGbk(slaves[k].kemPath));
  }
  WriteTextLines(file, lines);
}

BatchSummary GenerateBatch(const fs::path& dir, const ZoneOptions& options, int slaves) {
  CheckOptions(options);
  if (slaves < 1 || slaves > 1000)
    throw std::invalid_argument("the slave zone count must lie between 1 and 1000");
  // Every path must have a GBK form before the first zone is written.
  AbsolutePathAsGbk(dir);

  BatchSummary sum;
  sum.main = GenerateZone(dir / "main", options);
  for (int k = 1; k <= slaves; ++k) {
    ZoneOptions o = options;
    o.seed = options.seed + static_cast<uint64_t>(k);
    sum.slaves.push_back(GenerateZone(dir / ("slave" + std::to_string(k)), o));
  }
  sum.configPath = dir / "batch.ini";
  WriteBatchConfig(sum.configPath, sum.main, sum.slaves);
  return sum;
}

}  // namespace zkq::zonegen
