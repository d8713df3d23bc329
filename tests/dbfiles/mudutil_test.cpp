// The in-memory name lists: TQuickList (every database file's NameList) and TQuickIDList (the
// character index file's AccountList).
#include "dbfiles/mudutil.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace zkq {
namespace {

using Item = std::pair<std::string, int32_t>;

int Sign(int v) {
  return (v > 0) - (v < 0);
}

// The NameList order written out independently: every byte 0x61..0x7A becomes its capital,
// bytes compare unsigned, a prefix sorts first.
int RefCompare(std::string_view a, std::string_view b) {
  for (size_t k = 0; k < a.size() && k < b.size(); ++k) {
    unsigned x = static_cast<unsigned char>(a[k]);
    unsigned y = static_cast<unsigned char>(b[k]);
    if (x >= 'a' && x <= 'z') x -= 'a' - 'A';
    if (y >= 'a' && y <= 'z') y -= 'a' - 'A';
    if (x != y) return x < y ? -1 : 1;
  }
  return Sign(static_cast<int>(a.size()) - static_cast<int>(b.size()));
}

// The plain recursive quicksort the files' name order depends on.
void RefSortRange(std::vector<Item>& v, int lo, int hi) {
  if (v.empty()) return;
  int i;
  do {
    i = lo;
    int j = hi;
    const std::string pivot = v[static_cast<size_t>((lo + hi) / 2)].first;
    do {
      while (RefCompare(v[static_cast<size_t>(i)].first, pivot) < 0) ++i;
      while (RefCompare(v[static_cast<size_t>(j)].first, pivot) > 0) --j;
      if (i <= j) {
        std::swap(v[static_cast<size_t>(i)], v[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (lo < j) RefSortRange(v, lo, j);
    lo = i;
  } while (i < hi);
}

std::vector<Item> ItemsOf(const TQuickList& list) {
  std::vector<Item> out;
  for (int i = 0; i < list.Count(); ++i) out.emplace_back(list.Text(i), list.Value(i));
  return out;
}

TQuickList ListOf(const std::vector<Item>& items) {
  TQuickList list;
  for (const auto& [text, value] : items) list.Append(text, value);
  return list;
}

// A name of 0..4 bytes drawn from letters in both cases and a GBK lead byte, so that a list
// is full of names that compare equal.
std::string RandomDupName(std::mt19937& rng) {
  static constexpr char kBytes[] = {'a', 'A', 'b', 'B', 'z', 'Z', '\xB0', '_'};
  std::uniform_int_distribution<int> len(0, 4), pick(0, sizeof kBytes - 1);
  int n = len(rng);
  if (n == 0 && pick(rng) != 0) n = 1;  // empty names are rare
  std::string s;
  for (int k = 0; k < n; ++k) s += kBytes[pick(rng)];
  return s;
}

std::vector<Item> RandomDupItems(std::mt19937& rng, int n) {
  std::vector<Item> items;
  for (int k = 0; k < n; ++k) items.emplace_back(RandomDupName(rng), k);
  return items;
}

// ---- CompareNames ----

TEST(CompareNames, Table) {
  struct Case {
    std::string a, b;
    int expected;
  };
  const Case cases[] = {
      {"", "", 0},
      {"abc", "ABC", 0},
      {"aBc", "AbC", 0},
      {"a", "B", -1},               // folded 'A' < 'B' although raw 'a' > 'B'
      {"_", "a", 1},                // 'a' folds to 0x41, below '_' 0x5F
      {"{", "z", 1},                // 0x7B is not a letter: stays above 'Z'
      {"`", "@", 1},                // 0x60 is not folded to 0x40
      {"\xB0\x61", "\xB0\x41", 0},  // a second GBK byte is folded too
      {"\xB0\x7A", "\xB0\x5A", 0},
      {"\xB0\x61", "\xB0\x42", -1},
      {"\xE1", "\xC1", 1},  // bytes above 0x7F are never folded
      {"ab", "abc", -1},    // a prefix sorts first
      {"ABC", "ab", 1},
      {"", "a", -1},
      {"\x80", "zzzz", 1},  // bytes 0x80 and above sort after every ASCII byte
      {"\xB0\xA1", "~", 1},
      {"\xFF", "\x80", 1},
      {"a\xFF", "A\x01", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " vs " + testing::PrintToString(c.b));
    EXPECT_EQ(Sign(CompareNames(c.a, c.b)), c.expected);
    EXPECT_EQ(Sign(CompareNames(c.b, c.a)), -c.expected);
  }
}

// ---- TQuickList::Search ----

// Names "N000", "N002", ... so that "N001", "N003", ... fall into the gaps.
std::string Even(int k) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "N%03d", 2 * k);
  return buf;
}
std::string Odd(int k) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "N%03d", 2 * k + 1);
  return buf;
}
std::string Lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

TEST(TQuickListSearch, EmptyList) {
  TQuickList list;
  EXPECT_EQ(list.Search(""), -1);
  EXPECT_EQ(list.Search("abc"), -1);
}

TEST(TQuickListSearch, OneItem) {
  TQuickList list;
  list.Append("Hero", 7);
  EXPECT_EQ(list.Search("Hero"), 0);
  EXPECT_EQ(list.Search("hERO"), 0);
  EXPECT_EQ(list.Search("Her"), -1);
  EXPECT_EQ(list.Search("Heros"), -1);
  EXPECT_EQ(list.Search("A"), -1);
  EXPECT_EQ(list.Search("Z"), -1);
}

TEST(TQuickListSearch, EveryItemAndEveryGapForManySizes) {
  for (int n = 2; n <= 70; ++n) {
    SCOPED_TRACE("count " + std::to_string(n));
    TQuickList list;
    for (int k = 0; k < n; ++k) list.Append(Even(k), 1000 + k);
    for (int k = 0; k < n; ++k) {
      EXPECT_EQ(list.Search(Even(k)), k);
      EXPECT_EQ(list.Search(Lower(Even(k))), k);  // "n004" finds "N004"
      EXPECT_EQ(list.Search(Odd(k)), -1);         // between item k and k + 1, or after the last
    }
    EXPECT_EQ(list.Search("M"), -1);  // before the first
    EXPECT_EQ(list.Search("N"), -1);  // a prefix of every item
    EXPECT_EQ(list.Search("N0000"), -1);
    EXPECT_EQ(list.Search("\xB0\xA1"), -1);  // after the last
  }
}

TEST(TQuickListSearch, GbkNameWithLetterSecondByte) {
  TQuickList list;
  list.Append("A", 0);
  list.Append("\xB0\x41\xB0\xA1", 1);
  list.Append("\xC8\xCB", 2);
  EXPECT_EQ(list.Search("\xB0\x61\xB0\xA1"), 1);
  EXPECT_EQ(list.Search("\xB0\xA1"), -1);
}

TEST(TQuickListSearch, TwoEqualNamesFindsTheLowerPosition) {
  TQuickList list;
  list.Append("ab", 1);
  list.Append("AB", 2);
  EXPECT_EQ(list.Search("Ab"), 0);
}

// ---- TQuickList::InsertSorted ----

TEST(TQuickListInsertSorted, KeepsOrderForEveryInsertionOrder) {
  std::mt19937 rng(20240128);
  for (int n : {1, 2, 3, 4, 5, 8, 17, 64, 300}) {
    SCOPED_TRACE("count " + std::to_string(n));
    std::vector<std::string> names;
    for (int k = 0; k < n; ++k) {
      // Distinct under the folded order; mixed case and GBK bytes.
      std::string s = (k % 3 == 0) ? Lower(Even(k)) : Even(k);
      if (k % 5 == 0) s = "\xB0" + s;
      names.push_back(s);
    }
    for (int round = 0; round < 5; ++round) {
      std::shuffle(names.begin(), names.end(), rng);
      TQuickList list;
      std::vector<Item> expected;
      for (size_t k = 0; k < names.size(); ++k) {
        EXPECT_TRUE(list.InsertSorted(names[k], static_cast<int32_t>(k)));
        expected.emplace_back(names[k], static_cast<int32_t>(k));
      }
      std::sort(expected.begin(), expected.end(),
                [](const Item& x, const Item& y) { return RefCompare(x.first, y.first) < 0; });
      EXPECT_EQ(ItemsOf(list), expected);
    }
  }
}

TEST(TQuickListInsertSorted, EachGapOfASortedList) {
  for (int n = 1; n <= 40; ++n) {
    SCOPED_TRACE("count " + std::to_string(n));
    for (int gap = -1; gap < n; ++gap) {
      TQuickList list;
      for (int k = 0; k < n; ++k) list.Append(Even(k), k);
      const std::string name = gap < 0 ? std::string("M") : Lower(Odd(gap));
      ASSERT_TRUE(list.InsertSorted(name, 99));
      ASSERT_EQ(list.Count(), n + 1);
      EXPECT_EQ(list.Text(gap + 1), name);
      EXPECT_EQ(list.Value(gap + 1), 99);
      for (int k = 0; k < n; ++k) EXPECT_EQ(list.Text(k <= gap ? k : k + 1), Even(k));
    }
  }
}

TEST(TQuickListInsertSorted, PresentNameChangesNothing) {
  // The only item.
  {
    TQuickList list;
    list.Append("Hero", 5);
    EXPECT_FALSE(list.InsertSorted("Hero", 6));
    EXPECT_FALSE(list.InsertSorted("HERO", 7));
    EXPECT_EQ(ItemsOf(list), (std::vector<Item>{{"Hero", 5}}));
  }
  // First, last and every middle item of lists of several sizes, in other cases too.
  for (int n = 2; n <= 20; ++n) {
    SCOPED_TRACE("count " + std::to_string(n));
    TQuickList list;
    for (int k = 0; k < n; ++k) list.Append(Even(k), k);
    const std::vector<Item> before = ItemsOf(list);
    for (int k = 0; k < n; ++k) {
      EXPECT_FALSE(list.InsertSorted(Even(k), 100));
      EXPECT_FALSE(list.InsertSorted(Lower(Even(k)), 100));
    }
    EXPECT_EQ(ItemsOf(list), before);
  }
}

TEST(TQuickListInsertSorted, EmptyList) {
  TQuickList list;
  EXPECT_TRUE(list.InsertSorted("x", 3));
  EXPECT_EQ(ItemsOf(list), (std::vector<Item>{{"x", 3}}));
}

// ---- TQuickList::SortRange ----

TEST(TQuickListSortRange, EmptyListWithMinusOne) {
  TQuickList list;
  list.SortRange(0, -1);
  EXPECT_EQ(list.Count(), 0);
}

// The order of names that compare equal is whatever the exchanges leave, and the database
// files are written in that order, so the sort must make exactly the reference's exchanges.
TEST(TQuickListSortRange, SameExchangesAsThePlainRecursiveQuicksort) {
  std::mt19937 rng(936);
  std::vector<int> sizes;
  for (int n = 0; n <= 40; ++n) sizes.push_back(n);
  for (int n : {64, 100, 257, 1000, 3000, 5000}) sizes.push_back(n);
  for (int n : sizes) {
    const int rounds = n <= 40 ? 40 : 4;
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE("count " + std::to_string(n) + " round " + std::to_string(round));
      std::vector<Item> items = RandomDupItems(rng, n);
      TQuickList list = ListOf(items);
      list.SortRange(0, list.Count() - 1);
      RefSortRange(items, 0, static_cast<int>(items.size()) - 1);
      ASSERT_EQ(ItemsOf(list), items);
      for (size_t k = 1; k < items.size(); ++k)
        ASSERT_LE(RefCompare(items[k - 1].first, items[k].first), 0);
    }
  }
}

TEST(TQuickListSortRange, PartOfTheListOnly) {
  std::mt19937 rng(1899);
  for (int round = 0; round < 200; ++round) {
    std::vector<Item> items = RandomDupItems(rng, 30);
    std::uniform_int_distribution<int> pos(0, 29);
    int lo = pos(rng), hi = pos(rng);
    if (lo > hi) std::swap(lo, hi);
    SCOPED_TRACE("range " + std::to_string(lo) + ".." + std::to_string(hi));
    TQuickList list = ListOf(items);
    list.SortRange(lo, hi);
    RefSortRange(items, lo, hi);
    ASSERT_EQ(ItemsOf(list), items);
  }
}

// An input on which every partition leaves all but one item on the left: the recursion of the
// plain quicksort would go as deep as the list is long. Built backwards by placing, for every
// range 0..h, its largest name at the middle position the partition will pick.
std::vector<Item> DeepLeftInput(int n) {
  std::vector<int> slotAt(static_cast<size_t>(n));
  for (int p = 0; p < n; ++p) slotAt[static_cast<size_t>(p)] = p;
  std::vector<int> rank(static_cast<size_t>(n));
  for (int h = n - 1; h >= 0; --h) {
    const int m = h / 2;
    rank[static_cast<size_t>(slotAt[static_cast<size_t>(m)])] = h;
    std::swap(slotAt[static_cast<size_t>(m)], slotAt[static_cast<size_t>(h)]);
  }
  std::vector<Item> items;
  for (int p = 0; p < n; ++p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "n%07d", rank[static_cast<size_t>(p)]);
    items.emplace_back(buf, rank[static_cast<size_t>(p)]);
  }
  return items;
}

struct SortJob {
  TQuickList* list;
};

void* RunSort(void* arg) {
  auto* job = static_cast<SortJob*>(arg);
  job->list->SortRange(0, job->list->Count() - 1);
  return nullptr;
}

// A hostile file can hold its names in the order above. The sort runs on a thread with a small
// stack (128 KiB): a recursion as deep as the list (5 000 frames) cannot fit there, and the
// main thread's stack would fail the same way on a list long enough. The deep input costs
// quadratic time in this quicksort, which bounds its length in a test.
TEST(TQuickListSortRange, DeepPartitionsDoNotExhaustTheStack) {
  const int n = 5000;
  TQuickList list = ListOf(DeepLeftInput(n));
  SortJob job{&list};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 128 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, RunSort, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(list.Count(), n);
  for (int k = 0; k < n; ++k) {
    ASSERT_EQ(list.Value(k), k);
    char buf[16];
    std::snprintf(buf, sizeof buf, "n%07d", k);
    ASSERT_EQ(list.Text(k), buf);
  }
}

// Long lists in the shapes real files have: already in order, reversed, and all names equal
// apart from case (whose final order must again be the reference's).
TEST(TQuickListSortRange, LargeListsOfCommonShapes) {
  const int n = 200000;
  std::vector<Item> ascending, equal;
  for (int k = 0; k < n; ++k) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "c%07d", k);
    ascending.emplace_back(buf, k);
    equal.emplace_back(k % 3 ? "Same" : "sAME", k);
  }
  std::vector<Item> descending(ascending.rbegin(), ascending.rend());
  for (const auto* input : {&ascending, &descending}) {
    TQuickList list = ListOf(*input);
    list.SortRange(0, n - 1);
    ASSERT_EQ(ItemsOf(list), ascending);
  }
  TQuickList list = ListOf(equal);
  list.SortRange(0, n - 1);
  RefSortRange(equal, 0, n - 1);
  ASSERT_EQ(ItemsOf(list), equal);
}

// ---- TQuickIDList ----

struct Flat {
  std::string account;
  std::vector<std::tuple<std::string, std::string, int32_t, int32_t>> entries;
  bool operator==(const Flat&) const = default;
};

std::vector<Flat> Flatten(const TQuickIDList& list) {
  std::vector<Flat> out;
  for (int i = 0; i < list.Count(); ++i) {
    Flat f{list.Text(i), {}};
    for (const auto& e : list.EntriesAt(i))
      f.entries.emplace_back(e.account, e.charName, e.slot, e.tag);
    out.push_back(std::move(f));
  }
  return out;
}

void PrintTo(const Flat& f, std::ostream* os) {
  *os << testing::PrintToString(f.account) << " {";
  for (const auto& e : f.entries) *os << testing::PrintToString(e) << " ";
  *os << "}";
}

TEST(TQuickIDList, AccountsInExactByteOrder) {
  TQuickIDList list;
  const std::vector<std::string> accounts = {"b",  "B",  "a", "\xB0\xA1", "A",
                                             "ab", "Ab", "_", "\x80"};
  for (const auto& a : accounts) list.AddCharacter(a, "c", 0, 0);
  std::vector<std::string> texts;
  for (int i = 0; i < list.Count(); ++i) texts.push_back(list.Text(i));
  EXPECT_EQ(texts,
            (std::vector<std::string>{"A", "Ab", "B", "_", "a", "ab", "b", "\x80", "\xB0\xA1"}));
}

TEST(TQuickIDList, CharactersGroupedByAccountInTheOrderAdded) {
  TQuickIDList list;
  list.AddCharacter("acc1", "Alpha", 0, 10);
  list.AddCharacter("acc2", "Beta", 1, 11);
  list.AddCharacter("acc1", "Gamma", 2, 12);
  list.AddCharacter("ACC1", "Delta", 3, 13);
  list.AddCharacter("acc0", "Eps", 4, 14);
  list.AddCharacter("acc1", "Alpha", 5, 15);  // same name again: still its own entry
  const std::vector<Flat> expected = {
      {"ACC1", {{"ACC1", "Delta", 3, 13}}},
      {"acc0", {{"acc0", "Eps", 4, 14}}},
      {"acc1", {{"acc1", "Alpha", 0, 10}, {"acc1", "Gamma", 2, 12}, {"acc1", "Alpha", 5, 15}}},
      {"acc2", {{"acc2", "Beta", 1, 11}}},
  };
  EXPECT_EQ(Flatten(list), expected);
}

TEST(TQuickIDList, FindAccountOnlyByteIdentical) {
  TQuickIDList list;
  const TQuickIDList::Entries* entries = nullptr;
  EXPECT_EQ(list.FindAccount("a", &entries), -1);
  EXPECT_EQ(entries, nullptr);

  list.AddCharacter("Hero", "x", 1, 2);
  EXPECT_EQ(list.FindAccount("Hero", &entries), 0);
  ASSERT_NE(entries, nullptr);
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].charName, "x");

  const TQuickIDList::Entries sentinel;
  entries = &sentinel;
  EXPECT_EQ(list.FindAccount("hero", &entries), -1);
  EXPECT_EQ(entries, &sentinel);  // left as it was
  EXPECT_EQ(list.FindAccount("Her", &entries), -1);

  // Many accounts: every one found at its position, none in the gaps or in another case.
  for (int n = 2; n <= 40; ++n) {
    SCOPED_TRACE("count " + std::to_string(n));
    TQuickIDList many;
    for (int k = n - 1; k >= 0; --k) many.AddCharacter(Even(k), "c", k, 0);
    ASSERT_EQ(many.Count(), n);
    for (int k = 0; k < n; ++k) {
      entries = &sentinel;
      ASSERT_EQ(many.FindAccount(Even(k), &entries), k);
      ASSERT_EQ(entries, &many.EntriesAt(k));
      EXPECT_EQ(many.FindAccount(Lower(Even(k)), &entries), -1);
      EXPECT_EQ(many.FindAccount(Odd(k), &entries), -1);
    }
    EXPECT_EQ(many.FindAccount("M", &entries), -1);
  }
}

TEST(TQuickIDList, RemoveCharacter) {
  TQuickIDList list;
  list.AddCharacter("a", "x", 0, 0);
  list.AddCharacter("a", "y", 1, 0);
  list.AddCharacter("a", "x", 2, 0);
  list.AddCharacter("b", "z", 3, 0);

  list.RemoveCharacter(0, "X");  // names are matched byte for byte
  list.RemoveCharacter(0, "xx");
  list.RemoveCharacter(0, "");
  EXPECT_EQ(list.EntriesAt(0).size(), 3u);

  list.RemoveCharacter(0, "x");  // the first of two
  EXPECT_EQ(Flatten(list), (std::vector<Flat>{{"a", {{"a", "y", 1, 0}, {"a", "x", 2, 0}}},
                                              {"b", {{"b", "z", 3, 0}}}}));

  list.RemoveCharacter(2, "z");  // past the end
  list.RemoveCharacter(-1, "z");
  EXPECT_EQ(list.Count(), 2);

  list.RemoveCharacter(1, "z");  // the account's last character removes the account
  EXPECT_EQ(Flatten(list), (std::vector<Flat>{{"a", {{"a", "y", 1, 0}, {"a", "x", 2, 0}}}}));
  list.RemoveCharacter(0, "y");
  list.RemoveCharacter(0, "x");
  EXPECT_EQ(list.Count(), 0);
  list.RemoveCharacter(0, "x");  // empty list
  EXPECT_EQ(list.Count(), 0);
}

TEST(TQuickIDList, EntryTextsCutToTheirCapacities) {
  TQuickIDList list;
  const std::string account20 = "abcdefghijklmnopqrst";
  const std::string ascii29 = "01234567890123456789012345678";
  list.AddCharacter(account20 + "uv", ascii29 + "\xC8\xCB" + "tail", 1, 2);
  list.AddCharacter(account20, ascii29 + "x", 3, 4);
  ASSERT_EQ(list.Count(), 2);
  const CharEntry& exact = list.EntriesAt(0).at(0);
  EXPECT_EQ(exact.account, account20);
  EXPECT_EQ(exact.charName, ascii29 + "x");
  const CharEntry& cut = list.EntriesAt(1).at(0);
  EXPECT_EQ(cut.account, account20);
  EXPECT_EQ(cut.charName, ascii29 + "\xC8");  // cut inside the GBK character
  EXPECT_EQ(cut.slot, 1);
  EXPECT_EQ(cut.tag, 2);
}

TEST(TQuickIDList, BuildFromEqualsAddCharacterInOrder) {
  std::mt19937 rng(45319);
  for (int n : {0, 1, 2, 3, 10, 99, 100, 101, 250, 2000}) {
    SCOPED_TRACE("count " + std::to_string(n));
    std::vector<TQuickIDList::Tuple> tuples;
    std::uniform_int_distribution<int32_t> any(-100000, 100000);
    for (int k = 0; k < n; ++k) {
      tuples.push_back(
          {RandomDupName(rng), RandomDupName(rng) + std::to_string(k), any(rng), any(rng)});
    }
    TQuickIDList added;
    for (const auto& t : tuples) added.AddCharacter(t.account, t.charName, t.slot, t.tag);

    TQuickIDList built;
    built.AddCharacter("stale", "old", 1, 1);  // replaced by the build
    int calls = 0;
    built.BuildFrom(tuples, [&] { ++calls; });
    EXPECT_EQ(Flatten(built), Flatten(added));
    EXPECT_EQ(calls, (n + 99) / 100);  // before tuples 0, 100, 200, ...
  }
}

}  // namespace
}  // namespace zkq
