#include "DateTime.h"

#include <cmath>
#include <cstdint>

namespace tamlix::platform {
namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

constexpr int64_t kEpochOffset = 25569;  // 1899-12-30 to 1970-01-01

std::tm ToTm(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  std::tm copy = tm;
  std::mktime(&copy);  // fills in the weekday for locales that print it
  tm.tm_wday = copy.tm_wday;
  tm.tm_yday = copy.tm_yday;
  return tm;
}

std::string Format(const LocalTime& t, const char* fmt) {
  std::tm tm = ToTm(t);
  char buf[128];
  size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
  return std::string(buf, n);
}

}  // namespace

LocalTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

TDateTime EncodeDateTime(const LocalTime& t) {
  int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
                 kEpochOffset;
  int64_t ms = ((t.hour * 60 + t.minute) * 60 + t.second) * 1000LL + t.millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / 86400000.0;
}

LocalTime DecodeDateTime(TDateTime value) {
  LocalTime t{};
  if (!std::isfinite(value) || value < -693593.0 || value > 2958466.0) {
    t.year = 1899, t.month = 12, t.day = 30;  // the zero date for values out of range
    return t;
  }
  double whole = std::floor(value);
  int64_t ms = std::llround((value - whole) * 86400000.0);
  int64_t days = static_cast<int64_t>(whole);
  if (ms >= 86400000) {
    ms -= 86400000;
    ++days;
  }
  CivilFromDays(days - kEpochOffset, t.year, t.month, t.day);
  t.millisecond = static_cast<int>(ms % 1000);
  t.second = static_cast<int>(ms / 1000 % 60);
  t.minute = static_cast<int>(ms / 60000 % 60);
  t.hour = static_cast<int>(ms / 3600000);
  return t;
}

TDateTime Now() { return EncodeDateTime(NowLocal()); }

std::string ShortDateText(const LocalTime& t) { return Format(t, "%x"); }
std::string LongTimeText(const LocalTime& t) { return Format(t, "%X"); }

}  // namespace tamlix::platform
