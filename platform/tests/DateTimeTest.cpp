#include "platform/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/ExeDir.h"

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

TEST(ExeDirTest, IsTheTestBinarysDirectoryWithTrailingSlash) {
  std::string dir = ExecutableDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(dir.front(), '/');
}

}  // namespace
}  // namespace tamlix::platform
