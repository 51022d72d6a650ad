#include "platform/DateTime.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/ExeDir.h"
#include "platform/tests/TestNamespaces.h"

namespace tamlix::platform {
namespace {

struct DateCase {
  LocalTime time;
  double value;
};

// Known values of the day count: the epoch, the Unix epoch, a leap day and
// a time of day with milliseconds.
const DateCase kDates[] = {
    {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
    {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
    {{1970, 1, 1, 0, 0, 0, 0}, 25569.0},
    {{2000, 2, 29, 0, 0, 0, 0}, 36585.0},
    {{2026, 12, 10, 12, 0, 0, 0}, 46366.5},
    {{2026, 12, 10, 6, 0, 0, 250}, 46366.25 + 250.0 / 86400000.0},
};

TEST(DateTimeTest, EncodesDaysSince1899AndFractionOfTheDay) {
  for (const auto& c : kDates) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.time), c.value) << c.time.year << "-" << c.time.month << "-" << c.time.day;
  }
}

TEST(DateTimeTest, DecodeIsTheInverseToTheMillisecond) {
  for (const auto& c : kDates) {
    LocalTime t = DecodeDateTime(c.value);
    EXPECT_EQ(t.year, c.time.year);
    EXPECT_EQ(t.month, c.time.month);
    EXPECT_EQ(t.day, c.time.day);
    EXPECT_EQ(t.hour, c.time.hour);
    EXPECT_EQ(t.minute, c.time.minute);
    EXPECT_EQ(t.second, c.time.second);
    EXPECT_EQ(t.millisecond, c.time.millisecond);
  }
  LocalTime late{2026, 12, 10, 23, 59, 59, 999};
  LocalTime back = DecodeDateTime(EncodeDateTime(late));
  EXPECT_EQ(back.day, 10);
  EXPECT_EQ(back.millisecond, 999);
}

TEST(DateTimeTest, GarbageDecodesToTheZeroDateWithoutCrashing) {
  for (double v : {double(NAN), double(INFINITY), -1e300, 1e300}) {
    LocalTime t = DecodeDateTime(v);
    EXPECT_EQ(t.year, 1899);
  }
}

TEST(DateTimeTest, TextsUseTheCLocaleByDefault) {
  LocalTime t{2026, 3, 4, 5, 6, 7, 0};
  EXPECT_EQ(ShortDateText(t), "03/04/26");
  EXPECT_EQ(LongTimeText(t), "05:06:07");
}

// A locale whose long time names the zone ("%I:%M:%S %p %Z"). When the
// system has none, it is made into a folder of the test's own, which a child
// names in LOCPATH. The folder's path, or empty when the system's serves.
class ZoneNamingLocale : public ::testing::Test {
 protected:
  static constexpr const char* kName = "en_IN.UTF-8";
  static void SetUpTestSuite() {
    if (locale_t l = newlocale(LC_ALL_MASK, kName, nullptr)) {
      freelocale(l);
      return;
    }
    char tmpl[] = "/tmp/tamlix-locale-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string out = dir_ + "/" + kName;
    const char* argv[] = {"localedef", "-c", "-i", "en_IN", "-f", "UTF-8", out.c_str(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawnp(&pid, "localedef", nullptr, nullptr, const_cast<char**>(argv), environ), 0)
        << "localedef is missing (Debian package locales)";
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(std::filesystem::exists(out)) << "localedef could not make " << kName;
  }
  static void TearDownTestSuite() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  // In a child: the locale's long time format in force.
  static bool UseLocale() {
    if (!dir_.empty()) ::setenv("LOCPATH", dir_.c_str(), 1);
    return setlocale(LC_TIME, kName) != nullptr;
  }
  // Runs body() in a forked child with mounts of its own; what it returns.
  static std::string InChild(const std::function<std::string()>& body) {
    int out[2];
    if (::pipe(out) != 0) return "no pipe";
    int code = tamlix::testing::RunWithPrivateMounts([&] {
      ::close(out[0]);
      std::string text = body();
      return ::write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
    });
    ::close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    return code == 0 ? text : "child ended with " + std::to_string(code);
  }
  static std::string dir_;
};
std::string ZoneNamingLocale::dir_;

TEST_F(ZoneNamingLocale, LongTimeNamesTheZoneInForceAtThatTime) {
  struct Case {
    const char* tz;
    LocalTime time;
    const char* text;
  } cases[] = {
      {"Asia/Kolkata", {2026, 3, 4, 5, 6, 7, 0}, "05:06:07 AM IST"},
      {"Europe/London", {2026, 7, 1, 13, 0, 0, 0}, "01:00:00 PM BST"},
      {"Europe/London", {2026, 1, 15, 13, 0, 0, 0}, "01:00:00 PM GMT"},
  };
  for (const Case& c : cases) {
    std::string text = InChild([&] {
      ::setenv("TZ", c.tz, 1);
      return UseLocale() ? LongTimeText(c.time) : std::string("no locale");
    });
    EXPECT_EQ(text, c.text) << c.tz;
  }
}

// The local time in UTC plus `hours`, as a day count.
double UtcNowPlusHours(int hours) {
  time_t now = ::time(nullptr) + hours * 3600;
  std::tm tm{};
  gmtime_r(&now, &tm);
  return EncodeDateTime(LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
}

// A program that stays up while the system's zone changes (another zone
// file bound over /etc/localtime): within a second its time and the long
// time's zone name are the new zone's.
TEST_F(ZoneNamingLocale, LocalTimeFollowsTheSystemsZoneAsItChanges) {
  std::string report = InChild([&] {
    ::unsetenv("TZ");
    if (!UseLocale()) return std::string("no locale");
    NowLocal();  // the zone as the program found it
    struct Zone {
      const char* file;
      int hours;
      const char* name;
    } zones[] = {{"/usr/share/zoneinfo/Asia/Tokyo", 9, " JST"}, {"/usr/share/zoneinfo/Etc/GMT+3", -3, " -03"}};
    std::string report;
    for (const Zone& z : zones) {
      if (!tamlix::testing::BindOver(z.file, "/etc/localtime")) return std::string("no bind mount");
      ::usleep(1200 * 1000);
      LocalTime now = NowLocal();
      double off = EncodeDateTime(now) - UtcNowPlusHours(z.hours);
      std::string text = LongTimeText(now);
      report += z.file;
      report += std::abs(off) < 10.0 / 86400 ? ": hour ok" : ": hour off by " + std::to_string(off * 24);
      report += text.size() > 4 && text.compare(text.size() - 4, 4, z.name) == 0 ? ", name ok; " : ", " + text + "; ";
    }
    return report;
  });
  EXPECT_EQ(report,
            "/usr/share/zoneinfo/Asia/Tokyo: hour ok, name ok; /usr/share/zoneinfo/Etc/GMT+3: hour ok, name ok; ");
}

TEST(ExeDirTest, IsTheTestBinarysDirectoryWithTrailingSlash) {
  std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(dir.front(), '/');
}

}  // namespace
}  // namespace tamlix::platform
