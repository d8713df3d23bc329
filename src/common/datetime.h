// OLE automation date-times: days since 1899-12-30 00:00, the fraction being the time of day.
#pragma once

#include <string>

#include "common/bytes.h"

namespace zkq {

struct CivilDateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Whole days plus the time of day in milliseconds over the milliseconds of a day, as the
// game server's own date arithmetic computes it.
TDateTime EncodeDateTime(const CivilDateTime& t);
CivilDateTime DecodeDateTime(TDateTime value);

// "yyyy-MM-dd" and "HH:mm:ss".
std::string FormatShortDate(TDateTime value);
std::string FormatLongTime(TDateTime value);

}  // namespace zkq
