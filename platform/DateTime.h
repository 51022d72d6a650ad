// Local date and time as the system's records carry it: a TDateTime is a
// double, whole days since 1899-12-30 plus the elapsed fraction of the day,
// local time, to the millisecond. The texts use the process's locale
// (strftime %x and %X); programs set it with setlocale, libraries never do.
//
// Local time follows the system's zone as it changes: before a conversion
// the zone is read again (tzset) when /etc/localtime or TZ has changed,
// checked at most once a second. Thread-safe.
#pragma once

#include <ctime>
#include <string>

namespace tamlix::platform {

using TDateTime = double;

struct LocalTime {
  int year, month, day;  // month 1..12
  int hour, minute, second, millisecond;
  int dst = -1;  // daylight saving time in force: 1, 0, or -1 not known (worked out when needed)
};

// The current local time, to the millisecond.
LocalTime NowLocal();
// The local time of `when`, in the zone in force now (see above). False
// when the time cannot be converted.
bool LocalTimeOf(time_t when, std::tm& out);
TDateTime EncodeDateTime(const LocalTime& t);
LocalTime DecodeDateTime(TDateTime value);
TDateTime Now();

// The user's short date and long time formats; the long time names the
// zone where the locale's format has %Z.
std::string ShortDateText(const LocalTime& t);
std::string LongTimeText(const LocalTime& t);

}  // namespace tamlix::platform
