// Local date and time as the system's records carry it: a TDateTime is a
// double, whole days since 1899-12-30 plus the elapsed fraction of the day,
// local time, to the millisecond. The texts use the process's locale
// (strftime %x and %X); programs set it with setlocale, libraries never do.
#pragma once

#include <ctime>
#include <string>

namespace tamlix::platform {

using TDateTime = double;

struct LocalTime {
  int year, month, day;  // month 1..12
  int hour, minute, second, millisecond;
};

// The current local time, to the millisecond.
LocalTime NowLocal();
TDateTime EncodeDateTime(const LocalTime& t);
LocalTime DecodeDateTime(TDateTime value);
TDateTime Now();

// The user's short date and long time formats.
std::string ShortDateText(const LocalTime& t);
std::string LongTimeText(const LocalTime& t);

}  // namespace tamlix::platform
