#include "text/DateTime.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace od {
namespace {

struct DayCase {
  int Year, Month, Day;
  int DayNumber;
};

class EncodeDateTest : public testing::TestWithParam<DayCase> {};

TEST_P(EncodeDateTest, DayNumberAndBack) {
  const DayCase& c = GetParam();
  int dayNumber = 0;
  ASSERT_TRUE(TryEncodeDate(c.Year, c.Month, c.Day, dayNumber));
  EXPECT_EQ(dayNumber, c.DayNumber);
  int y = 0, m = 0, d = 0;
  DecodeDate(dayNumber, y, m, d);
  EXPECT_EQ(TDateTimeParts({c.Year, c.Month, c.Day}), TDateTimeParts({y, m, d}));
}

INSTANTIATE_TEST_SUITE_P(Calendar, EncodeDateTest,
                         testing::Values(DayCase{1899, 12, 30, 0}, DayCase{1899, 12, 29, -1}, DayCase{1900, 1, 1, 2},
                                         DayCase{1900, 3, 1, 61}, DayCase{2000, 2, 29, 36585},
                                         DayCase{2024, 2, 29, 45351}, DayCase{2026, 12, 7, 46363},
                                         DayCase{1, 1, 1, kMinDayNumber}, DayCase{9999, 12, 31, kMaxDayNumber}));

struct BadDate {
  int Year, Month, Day;
};

class InvalidDateTest : public testing::TestWithParam<BadDate> {};

TEST_P(InvalidDateTest, Rejected) {
  const BadDate& c = GetParam();
  int dayNumber = 12345;
  EXPECT_FALSE(TryEncodeDate(c.Year, c.Month, c.Day, dayNumber));
  EXPECT_EQ(dayNumber, 12345);
  EXPECT_THROW(EncodeDate(c.Year, c.Month, c.Day), EConvertError);
}

INSTANTIATE_TEST_SUITE_P(Calendar, InvalidDateTest,
                         testing::Values(BadDate{0, 1, 1}, BadDate{10000, 1, 1}, BadDate{2026, 0, 1},
                                         BadDate{2026, 13, 1}, BadDate{2026, 1, 0}, BadDate{2026, 1, 32},
                                         BadDate{2026, 2, 29}, BadDate{2100, 2, 29}, BadDate{2026, 4, 31}));

TEST(DateTimeTest, EveryDayRoundTrips) {
  int previous = 0;
  ASSERT_TRUE(TryEncodeDate(1, 1, 1, previous));
  for (int day = kMinDayNumber + 1; day <= kMaxDayNumber; ++day) {
    TDateTimeParts p;
    ASSERT_TRUE(TryDecodeDateTime(day, p)) << day;
    int encoded = 0;
    ASSERT_TRUE(TryEncodeDate(p.Year, p.Month, p.Day, encoded)) << day;
    ASSERT_EQ(encoded, day);
  }
}

TEST(DateTimeTest, TimeEncodingLimits) {
  TDateTime t = 0;
  EXPECT_TRUE(TryEncodeTime(23, 59, 59, 999, t));
  EXPECT_DOUBLE_EQ(t, 86'399'999.0 / kMSecsPerDay);
  EXPECT_TRUE(TryEncodeTime(12, 0, 0, 0, t));
  EXPECT_DOUBLE_EQ(t, 0.5);
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, t));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, t));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, t));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, t));
  EXPECT_THROW(EncodeTime(-1, 0, 0, 0), EConvertError);
}

TEST(DateTimeTest, TimeBeforeDayZeroIsSubtracted) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
  EXPECT_EQ(FormatIsoDateTime(-1.25), "1899-12-29 06:00:00.000");
  EXPECT_EQ(FormatIsoDateTime(EncodeDateTime(2026, 12, 7, 12, 19, 8, 123)), "2026-12-07 12:19:08.123");
  EXPECT_EQ(FormatIsoDateTime(0.75), "1899-12-30 18:00:00.000");
}

TEST(DateTimeTest, TimeRoundingToMidnightMovesToTheNextDay) {
  EXPECT_EQ(FormatIsoDateTime(46363.9999999999), "2026-12-08 00:00:00.000");
  EXPECT_EQ(FormatIsoDateTime(-2.9999999999), "1899-12-27 00:00:00.000");
}

TEST(DateTimeTest, DecodeRejectsValuesOutsideTheCalendar) {
  TDateTimeParts p;
  EXPECT_FALSE(TryDecodeDateTime(std::numeric_limits<double>::quiet_NaN(), p));
  EXPECT_FALSE(TryDecodeDateTime(std::numeric_limits<double>::infinity(), p));
  EXPECT_FALSE(TryDecodeDateTime(kMaxDayNumber + 1.0, p));
  EXPECT_FALSE(TryDecodeDateTime(kMinDayNumber - 1.0, p));
  EXPECT_FALSE(TryDecodeDateTime(1e300, p));
  EXPECT_THROW(DecodeDateTime(1e300), EConvertError);
  EXPECT_EQ(FormatIsoDateTime(1e300), "invalid");
}

} // namespace
} // namespace od
