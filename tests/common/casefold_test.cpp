// ASCII-only case folding of GBK names and the order of written list files.
#include "common/casefold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace zkq {
namespace {

int Sign(int v) {
  return (v > 0) - (v < 0);
}

TEST(FoldGbkUpper, Table) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"abcXYZ", "ABCXYZ"},
      {"a1_z{`", "A1_Z{`"},
      {"\xB0\x61", "\xB0\x61"},          // a trailing byte that looks like 'a' stays
      {"\xB0\x61\x61", "\xB0\x61\x41"},  // the byte after the character is a letter again
      {"a\xC8\xCB"
       "b",
       "A\xC8\xCB"
       "B"},
      {"\x81\x7A", "\x81\x7A"},  // lowest lead byte
      {"\xFE\x62", "\xFE\x62"},  // highest lead byte
      {"\x80\x61", "\x80\x41"},  // 0x80 is a single byte: the next one is folded
      {"\xFF\x61", "\xFF\x41"},
      {"x\xB0", "X\xB0"},  // a lead byte at the end
      {"\xB0\xB0\x61", "\xB0\xB0\x41"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(FoldGbkUpper(c.in), c.out);
  }
}

TEST(EqualsFolded, Table) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {"", "", true},
      {"Hero", "hERO", true},
      {"Hero", "Heros", false},
      {"\xB0\x61", "\xB0\x41", false},  // GBK trailing bytes are not letters
      {"\xB0\x61x", "\xB0\x61X", true},
      {"a", "\xC1", false},
      {"\xE1", "\xC1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " vs " + testing::PrintToString(c.b));
    EXPECT_EQ(EqualsFolded(c.a, c.b), c.equal);
    EXPECT_EQ(EqualsFolded(c.b, c.a), c.equal);
  }
}

TEST(CompareForListFile, Table) {
  struct Case {
    std::string a, b;
    int expected;
  };
  const Case cases[] = {
      {"abc", "abc", 0},
      {"abc", "ABD", -1},
      {"a", "_", -1},     // letters fold to capitals, which sort below '_'
      {"ab", "ABC", -1},  // a prefix first
      {"", "a", -1},
      {"ABC", "abc", -1},  // fold equal: raw bytes decide, capitals first
      {"aBc", "abc", -1},
      {"Z", "\x80", -1},  // bytes above 0x7F after ASCII, unsigned
      {"zz", "\xB0\xA1", -1},
      {"\xB0\x41", "\xB0\x61", -1},  // trailing bytes compare unfolded
      {"\xB0\x42", "\xB0\x61", -1},  // unfolded 0x42 < 0x61 (folded it would be the other way)
      {"x=1", "X=1", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " vs " + testing::PrintToString(c.b));
    EXPECT_EQ(Sign(CompareForListFile(c.a, c.b)), c.expected);
    EXPECT_EQ(Sign(CompareForListFile(c.b, c.a)), -c.expected);
  }
}

TEST(SortForListFile, OrderAndDuplicatesKept) {
  const std::vector<std::string> expected = {
      "",   "A=1",  "a=1",      "a=1",      "AB=2",     "Ab=2",     "ab=2", "b",
      "_x", "\x80", "\xB0\x41", "\xB0\x42", "\xB0\x61", "\xB0\xA1", "\xFF",
  };
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> lines = expected;
    std::shuffle(lines.begin(), lines.end(), rng);
    SortForListFile(lines);
    EXPECT_EQ(lines, expected);
  }
}

TEST(SortForListFile, AgreesWithCompareForListFile) {
  std::mt19937 rng(77);
  static constexpr char kBytes[] = {'a', 'A', 'b', 'B', '=', '_', '\xB0', '\xA1', '\xC8'};
  std::uniform_int_distribution<int> len(0, 5), pick(0, sizeof kBytes - 1);
  std::vector<std::string> lines;
  for (int k = 0; k < 2000; ++k) {
    std::string s;
    for (int n = len(rng); n > 0; --n) s += kBytes[pick(rng)];
    lines.push_back(s);
  }
  std::vector<std::string> sorted = lines;
  SortForListFile(sorted);
  std::vector<std::string> a = sorted, b = lines;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  ASSERT_EQ(a, b);  // the same lines
  for (size_t k = 1; k < sorted.size(); ++k)
    ASSERT_LE(CompareForListFile(sorted[k - 1], sorted[k]), 0) << k;
}

}  // namespace
}  // namespace zkq
