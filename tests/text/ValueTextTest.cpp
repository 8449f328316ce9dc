#include "text/ValueText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "text/LocaleFormats.h"

namespace od {
namespace {

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

// ---- integers read strictly ----

struct IntegerCase {
  const char* text;
  std::int64_t minValue, maxValue;
  bool ok;
  std::int64_t value;
};

class ParseStrictIntegerTest : public testing::TestWithParam<IntegerCase> {};

TEST_P(ParseStrictIntegerTest, ReadsOrRefuses) {
  std::int64_t value = -1;
  EXPECT_EQ(ParseStrictInteger(GetParam().text, GetParam().minValue, GetParam().maxValue, value), GetParam().ok)
      << GetParam().text;
  EXPECT_EQ(value, GetParam().ok ? GetParam().value : -1) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseStrictIntegerTest,
    testing::Values(IntegerCase{"  -42", kMin64, kMax64, true, -42}, IntegerCase{"+7", kMin64, kMax64, true, 7},
                    IntegerCase{"0x10", kMin64, kMax64, true, 16}, IntegerCase{"X1f", kMin64, kMax64, true, 31},
                    IntegerCase{"$1F", kMin64, kMax64, true, 31},
                    IntegerCase{"-9223372036854775808", kMin64, kMax64, true, kMin64},
                    IntegerCase{"9223372036854775807", kMin64, kMax64, true, kMax64},
                    IntegerCase{"9223372036854775808", kMin64, kMax64, false, 0},
                    IntegerCase{"2147483647", -2147483648LL, 2147483647, true, 2147483647},
                    IntegerCase{"2147483648", -2147483648LL, 2147483647, false, 0},
                    IntegerCase{"-2147483648", -2147483648LL, 2147483647, true, -2147483648LL},
                    IntegerCase{"", kMin64, kMax64, false, 0}, IntegerCase{"-", kMin64, kMax64, false, 0},
                    IntegerCase{"$", kMin64, kMax64, false, 0}, IntegerCase{"12x", kMin64, kMax64, false, 0},
                    IntegerCase{"1 ", kMin64, kMax64, false, 0}, IntegerCase{"1.0", kMin64, kMax64, false, 0}));

// ---- numbers and date-times under the locale's formats ----

class LocaleTextTest : public testing::Test {
protected:
  void SetUp() override {
    saved_ = LocaleFormats;
    LocaleFormats = TLocaleFormats{};
    LocaleFormats.DecimalDelimiter = ',';
    LocaleFormats.DateDelimiter = '.';
    LocaleFormats.ShortDatePattern = "dd.MM.yyyy";
    LocaleFormats.TimeDelimiter = ':';
    LocaleFormats.ShortTimePattern = "h:mm";
  }
  void TearDown() override { LocaleFormats = saved_; }
  TLocaleFormats saved_;
};

TEST_F(LocaleTextTest, FloatingNumbersInTheGeneralFormat) {
  EXPECT_EQ(FormatFloatGeneral(2.5), "2,5");
  EXPECT_EQ(FormatFloatGeneral(-12.99), "-12,99");
  EXPECT_EQ(FormatFloatGeneral(1e20), "1E20");
  EXPECT_EQ(FormatFloatGeneral(0.000001), "1E-6");
  EXPECT_EQ(FormatFloatGeneral(0.1 + 0.2), "0,3");
  EXPECT_EQ(FormatFloatGeneral(std::nan("")), "NAN");
  EXPECT_EQ(FormatFloatGeneral(-std::numeric_limits<double>::infinity()), "-INF");
}

TEST_F(LocaleTextTest, ScaledIntegersKeepEveryDigit) {
  EXPECT_EQ(FormatScaledInt64(1250, -2), "12,50");
  EXPECT_EQ(FormatScaledInt64(-5, -2), "-0,05");
  EXPECT_EQ(FormatScaledInt64(5, 2), "500");
  EXPECT_EQ(FormatScaledInt64(kMin64, -2), "-92233720368547758,08");
}

TEST_F(LocaleTextTest, DateTimesByTheLocalePatterns) {
  const TDateTime stamp = EncodeDateTime(2024, 3, 5, 14, 30, 15, 250);
  EXPECT_EQ(FormatDateTimeValue(stamp, true, true), "05.03.2024 14:30:15");
  EXPECT_EQ(FormatDateTimeValue(stamp, true, false), "05.03.2024");
  EXPECT_EQ(FormatDateTimeValue(stamp, false, true), "14:30:15");
  EXPECT_EQ(FormatDateTimeValue(EncodeDate(2024, 3, 5), true, true), "05.03.2024");
  EXPECT_EQ(FormatDateTimeValue(std::nan(""), true, true), "invalid");
  LocaleFormats.ShortDatePattern = "m/d/yy";
  LocaleFormats.DateDelimiter = '-';
  LocaleFormats.ShortTimePattern = "h:mm AMPM";
  LocaleFormats.PmText = "PM";
  EXPECT_EQ(FormatDateTimeValue(stamp, true, true), "3-5-24 2:30:15 PM");
}

} // namespace
} // namespace od
