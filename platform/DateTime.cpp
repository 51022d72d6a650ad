#include "DateTime.h"

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// What the zone was last read from: /etc/localtime (followed to its file)
// and TZ. Plain data, so that it outlives static destruction: records are
// written from other modules' exit code.
struct ZoneSource {
  bool file = false;  // /etc/localtime could be stat'ed
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  bool tz_set = false;
  size_t tz_length = 0;  // the whole length; only the first sizeof tz bytes are kept
  char tz[256] = {};
};

bool SameSource(const ZoneSource& a, const ZoneSource& b) {
  return a.file == b.file && a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
         a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
         a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec && a.tz_set == b.tz_set &&
         a.tz_length == b.tz_length && a.tz_length < sizeof a.tz && std::memcmp(a.tz, b.tz, a.tz_length) == 0;
}

ZoneSource CurrentSource() {
  ZoneSource s;
  struct stat st{};
  if (::stat("/etc/localtime", &st) == 0) {
    s.file = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
  }
  if (const char* tz = std::getenv("TZ")) {
    s.tz_set = true;
    s.tz_length = std::strlen(tz);
    std::memcpy(s.tz, tz, s.tz_length < sizeof s.tz ? s.tz_length : sizeof s.tz);
  }
  return s;
}

std::atomic<int64_t> g_next_check_ns{0};  // monotonic clock
std::mutex g_zone_mutex;                   // guards g_source
ZoneSource g_source;                       // guarded by g_zone_mutex
bool g_source_read = false;                // guarded by g_zone_mutex

// The C library reads the zone once and keeps it; this reads it again when
// its source has changed. One stat and one getenv at most once a second;
// a thread that finds another one checking goes on with the zone as it is.
void FollowZone() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (ns < g_next_check_ns.load(std::memory_order_relaxed)) return;
  std::unique_lock<std::mutex> lock(g_zone_mutex, std::try_to_lock);
  if (!lock.owns_lock() || ns < g_next_check_ns.load(std::memory_order_relaxed)) return;
  g_next_check_ns.store(ns + 1000000000, std::memory_order_relaxed);
  ZoneSource seen = CurrentSource();
  if (g_source_read && SameSource(seen, g_source)) return;
  tzset();
  g_source = seen;
  g_source_read = true;
}

std::tm ToTm(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = t.dst;
  FollowZone();
  std::tm copy = tm;
  // Fills in the weekday for locales that print it and the zone for those
  // whose format names it (%Z); the fields of the time itself stay as given.
  if (std::mktime(&copy) != static_cast<time_t>(-1)) {
    tm.tm_wday = copy.tm_wday;
    tm.tm_yday = copy.tm_yday;
    tm.tm_isdst = copy.tm_isdst;
    tm.tm_gmtoff = copy.tm_gmtoff;
    tm.tm_zone = copy.tm_zone;
  }
  return tm;
}

std::string Format(const LocalTime& t, const char* fmt) {
  std::tm tm = ToTm(t);
  char buf[256];
  size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
  return std::string(buf, n);
}

}  // namespace

bool LocalTimeOf(time_t when, std::tm& out) {
  FollowZone();
  return localtime_r(&when, &out) != nullptr;
}

LocalTime NowLocal() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  if (!LocalTimeOf(ts.tv_sec, tm)) return DecodeDateTime(0);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,         tm.tm_min,
                   tm.tm_sec,         static_cast<int>(ts.tv_nsec / 1000000), tm.tm_isdst};
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
