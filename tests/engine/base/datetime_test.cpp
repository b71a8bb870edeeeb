#include <gtest/gtest.h>

#include <random>

#include "engine/base/datetime.h"

namespace ovrin {
namespace {

TEST(DateTimeTest, DayNumbers) {
  EXPECT_EQ(DayNumber(1, 1, 1), 1);
  EXPECT_EQ(DayNumber(1899, 12, 30), 693594);
  EXPECT_EQ(DayNumber(1999, 9, 9), 730006);
  int y, m, d;
  DayNumberToDate(693594, &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991230);
  DayNumberToDate(1, &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 10101);
}

TEST(DateTimeTest, EveryDayRoundTrips) {
  for (int32_t n = 1; n <= DayNumber(9999, 12, 31); n += 1) {
    int y, m, d;
    DayNumberToDate(n, &y, &m, &d);
    ASSERT_EQ(DayNumber(y, m, d), n);
  }
}

TEST(DateTimeTest, EncodeRejectsImpossibleDates) {
  TDateTime v;
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, &v));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, &v));
  EXPECT_FALSE(TryEncodeDate(2001, 13, 1, &v));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, &v));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, &v));
}

TEST(DateTimeTest, TimeStamps) {
  TDateTime date, time;
  ASSERT_TRUE(TryEncodeDate(2003, 6, 10, &date));
  ASSERT_TRUE(TryEncodeTime(11, 11, 11, 0, &time));
  double stamp = DateTimeToTimeStamp(date + time);
  EXPECT_EQ(stamp, DayNumber(2003, 6, 10) * 86400000.0 + (11 * 3600 + 11 * 60 + 11) * 1000.0);
  EXPECT_DOUBLE_EQ(TimeStampToDateTime(stamp), date + time);
  // Before 30 December 1899 the time of day still counts forward.
  double early = DateTimeToTimeStamp(-1.25);
  EXPECT_EQ(early, (693594 - 1) * 86400000.0 + 6 * 3600000.0);
  EXPECT_DOUBLE_EQ(TimeStampToDateTime(early), -1.25);
  std::mt19937 rng(5);
  for (int i = 0; i < 10000; ++i) {
    int64_t ms = static_cast<int64_t>(rng() % 3000000) * 86400000LL / 1000 + rng() % 86400000;
    double s = static_cast<double>(ms) + 86400000.0;
    ASSERT_EQ(DateTimeToTimeStamp(TimeStampToDateTime(s)), s);
  }
}

}  // namespace
}  // namespace ovrin
