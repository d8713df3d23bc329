// Date-times as stored in the files: days since 1899-12-30, the fraction the time of day.
#include "common/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace zkq {
namespace {

CivilDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  CivilDateTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.millisecond = ms;
  return t;
}

std::string Show(const CivilDateTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return buf;
}

TEST(DateTime, EncodeKnownValues) {
  struct Case {
    CivilDateTime t;
    double value;
  };
  const Case cases[] = {
      {At(1899, 12, 30), 0.0},
      {At(1899, 12, 31), 1.0},
      {At(1900, 1, 1), 2.0},
      {At(1900, 2, 28), 60.0},
      {At(1900, 3, 1), 61.0},  // 1900 is no leap year
      {At(1970, 1, 1), 25569.0},
      {At(2000, 2, 29), 36585.0},
      {At(2024, 1, 28, 12), 45319.5},
      {At(2024, 1, 28, 6), 45319.25},
      {At(2024, 1, 28, 18), 45319.75},
      {At(1899, 12, 30, 12), 0.5},
      // Before the epoch the fraction counts away from zero.
      {At(1899, 12, 29, 6), -1.25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.t));
    EXPECT_EQ(EncodeDateTime(c.t), c.value);
  }
}

TEST(DateTime, DecodeKnownValues) {
  struct Case {
    double value;
    CivilDateTime t;
  };
  const Case cases[] = {
      {0.0, At(1899, 12, 30)},      {2.0, At(1900, 1, 1)},        {45319.5, At(2024, 1, 28, 12)},
      {-1.25, At(1899, 12, 29, 6)}, {-0.5, At(1899, 12, 30, 12)}, {61.0, At(1900, 3, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.value));
    EXPECT_EQ(Show(DecodeDateTime(c.value)), Show(c.t));
  }
}

TEST(DateTime, RoundTripWithMilliseconds) {
  const CivilDateTime times[] = {
      At(2024, 1, 28, 23, 59, 59, 999), At(2024, 1, 28, 0, 0, 0, 1),
      At(2025, 12, 9, 13, 14, 15, 16),  At(1999, 12, 31, 23, 59, 59, 500),
      At(2004, 2, 29, 7, 8, 9, 10),     At(2100, 3, 1, 0, 0, 0, 0),
      At(1899, 12, 29, 17, 30, 0, 250),
  };
  for (const auto& t : times) EXPECT_EQ(Show(DecodeDateTime(EncodeDateTime(t))), Show(t));
  // Every millisecond step of a second and every minute of a day.
  for (int ms = 0; ms < 1000; ++ms) {
    const auto t = At(2024, 6, 15, 10, 20, 30, ms);
    ASSERT_EQ(Show(DecodeDateTime(EncodeDateTime(t))), Show(t));
  }
  for (int m = 0; m < 24 * 60; ++m) {
    const auto t = At(2023, 3, 26, m / 60, m % 60, 59, 999);
    ASSERT_EQ(Show(DecodeDateTime(EncodeDateTime(t))), Show(t));
  }
}

TEST(DateTime, FractionJustBelowMidnightRoundsToTheNextDay) {
  EXPECT_EQ(Show(DecodeDateTime(45319.0 + 0.9999999999)), Show(At(2024, 1, 29)));
}

TEST(DateTime, Formats) {
  EXPECT_EQ(FormatShortDate(45319.5), "2024-01-28");
  EXPECT_EQ(FormatLongTime(45319.5), "12:00:00");
  EXPECT_EQ(FormatShortDate(0.0), "1899-12-30");
  EXPECT_EQ(FormatLongTime(0.0), "00:00:00");
  const double t = EncodeDateTime(At(2025, 3, 4, 5, 6, 7, 800));
  EXPECT_EQ(FormatShortDate(t), "2025-03-04");
  EXPECT_EQ(FormatLongTime(t), "05:06:07");  // milliseconds are not shown
}

// Date-times come out of files that may be damaged: any double must format without harm.
TEST(DateTime, HostileValuesFormatWithoutHarm) {
  const double values[] = {std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           1e300,
                           -1e300,
                           std::numeric_limits<double>::denorm_min(),
                           9.2e18};
  for (double v : values) {
    SCOPED_TRACE(std::to_string(v));
    EXPECT_EQ(FormatShortDate(v).size(), 10u);
    EXPECT_EQ(FormatLongTime(v).size(), 8u);
  }
}

}  // namespace
}  // namespace zkq
