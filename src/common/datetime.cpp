#include "common/datetime.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace zkq {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;
// Days from 0000-03-01 (proleptic Gregorian) based arithmetic, shifted to 1899-12-30.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr int64_t kUnixEpochOle = 25569;  // 1970-01-01 as an OLE day number

}  // namespace

TDateTime EncodeDateTime(const CivilDateTime& t) {
  const int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
      kUnixEpochOle;
  const int64_t ms = int64_t(t.hour) * 3'600'000 + int64_t(t.minute) * 60'000 +
                     int64_t(t.second) * 1000 + t.millisecond;
  const double frac = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  // Before 1899-12-30 the fraction counts away from zero, as OLE dates do.
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

CivilDateTime DecodeDateTime(TDateTime value) {
  CivilDateTime out;
  if (!std::isfinite(value) || std::fabs(value) > 3e6) return out;
  const double whole = std::trunc(value);
  double frac = std::fabs(value - whole);
  auto ms = static_cast<int64_t>(std::llround(frac * static_cast<double>(kMsPerDay)));
  auto days = static_cast<int64_t>(whole);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += value >= 0 ? 1 : -1;
  }
  CivilFromDays(days - kUnixEpochOle, out.year, out.month, out.day);
  out.hour = static_cast<int>(ms / 3'600'000);
  out.minute = static_cast<int>(ms / 60'000 % 60);
  out.second = static_cast<int>(ms / 1000 % 60);
  out.millisecond = static_cast<int>(ms % 1000);
  return out;
}

std::string FormatShortDate(TDateTime value) {
  const CivilDateTime t = DecodeDateTime(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
  return buf;
}

std::string FormatLongTime(TDateTime value) {
  const CivilDateTime t = DecodeDateTime(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return buf;
}

}  // namespace zkq
