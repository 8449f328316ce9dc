#include "text/DateTimeParse.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

#include "text/Cp1251.h"

namespace od {
namespace {

constexpr const char* kInvalid = "invalid";

TLocaleFormats RussianFormats() {
  TLocaleFormats f;
  f.DateDelimiter = '.';
  f.ShortDatePattern = "dd.MM.yyyy";
  f.TimeDelimiter = ':';
  f.AmText = "";
  f.PmText = "";
  f.DecimalDelimiter = ',';
  f.ShortTimePattern = "hh:mm";
  f.PrimaryLanguage = kLangRussian;
  return f;
}

TLocaleFormats EnglishFormats() {
  TLocaleFormats f;
  f.DateDelimiter = '/';
  f.ShortDatePattern = "M/d/yyyy";
  f.TimeDelimiter = ':';
  f.AmText = "AM";
  f.PmText = "PM";
  f.DecimalDelimiter = '.';
  f.ShortTimePattern = "h:mm AMPM";
  return f;
}

// An era calendar as a double-byte locale would deliver it: the short date
// starts with the era name and counts years within the era.
TLocaleFormats EraFormats() {
  TLocaleFormats f;
  f.DateDelimiter = '/';
  f.ShortDatePattern = "ggg ee/MM/dd";
  f.TimeDelimiter = ':';
  f.AmText = "AM";
  f.PmText = "PM";
  f.ShortTimePattern = "AMPM h:mm";
  f.IsDbcsLocale = true;
  f.PrimaryLanguage = kLangJapanese;
  f.EraTexts = {"Meiji", "Taisho", "Showa", "Heisei", "Reiwa", "", ""};
  f.EraOffsets = {1868, 1912, 1926, 1989, 2019, -1, -1};
  return f;
}

// The text as parsed, in ISO form, or "invalid".
std::string Parsed(std::string_view text, const TLocaleFormats& formats, int year = 2026) {
  TDateTime value = 0;
  if (!TryParseDateTimeText(text, value, formats, [year] { return year; })) return kInvalid;
  return FormatIsoDateTime(value);
}

struct ParseCase {
  std::string Text;
  std::string Expected; // ISO form, or kInvalid
};

std::ostream& operator<<(std::ostream& os, const ParseCase& c) { return os << '"' << c.Text << '"'; }

class RussianParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(RussianParseTest, Parses) { EXPECT_EQ(Parsed(GetParam().Text, RussianFormats()), GetParam().Expected); }

INSTANTIATE_TEST_SUITE_P(DateAndTime, RussianParseTest,
                         testing::Values(ParseCase{"07.12.2026 12:19:08", "2026-12-07 12:19:08.000"},
                                         ParseCase{"07.12.2026", "2026-12-07 00:00:00.000"},
                                         ParseCase{"   07.12.2026   ", "2026-12-07 00:00:00.000"},
                                         ParseCase{"07 . 12 . 2026  12 : 19", "2026-12-07 12:19:00.000"},
                                         ParseCase{"07.12.2026.", "2026-12-07 00:00:00.000"},
                                         ParseCase{"07.12.2026 12", "2026-12-07 12:00:00.000"},
                                         ParseCase{"0007.012.2026", "2026-12-07 00:00:00.000"},
                                         ParseCase{"29.12.1899 06:00", "1899-12-29 06:00:00.000"},
                                         ParseCase{"01.01.0001", "0001-01-01 00:00:00.000"},
                                         ParseCase{"31.12.9999 23:59:59,999", "9999-12-31 23:59:59.999"}));

INSTANTIATE_TEST_SUITE_P(CenturyWindow, RussianParseTest,
                         testing::Values(ParseCase{"7.12.26 9:05", "2026-12-07 09:05:00.000"},
                                         ParseCase{"7.12.75 9:05", "2075-12-07 09:05:00.000"},
                                         ParseCase{"7.12.76 9:05", "1976-12-07 09:05:00.000"},
                                         ParseCase{"7.12.00", "2000-12-07 00:00:00.000"},
                                         ParseCase{"7.12.026", "0026-12-07 00:00:00.000"},
                                         ParseCase{"07.12", "2026-12-07 00:00:00.000"},
                                         ParseCase{"07.12 13:45", "2026-12-07 13:45:00.000"},
                                         // A number stops at four digits: the fifth begins the time.
                                         ParseCase{"07.12.20261", "2026-12-07 01:00:00.000"}));

INSTANTIATE_TEST_SUITE_P(Milliseconds, RussianParseTest,
                         testing::Values(ParseCase{"07.12.2026 12:19:08,123", "2026-12-07 12:19:08.123"},
                                         ParseCase{"07.12.2026 12:19:08,5", "2026-12-07 12:19:08.005"},
                                         ParseCase{"07.12.2026 12:19:08.123", "2026-12-07 12:19:08.000"},
                                         ParseCase{"07.12.2026 12:19:08 sent", "2026-12-07 12:19:08.000"},
                                         ParseCase{"07.12.2026 12:19:08,", kInvalid},
                                         ParseCase{"07.12.2026 12:19:08,1000", kInvalid}));

INSTANTIATE_TEST_SUITE_P(TimeAlone, RussianParseTest,
                         testing::Values(ParseCase{"12:19:08", "1899-12-30 12:19:08.000"},
                                         ParseCase{"  12:19  ", "1899-12-30 12:19:00.000"},
                                         ParseCase{"23", "1899-12-30 23:00:00.000"}, ParseCase{"12:19:08 x", kInvalid},
                                         ParseCase{"12:", kInvalid}));

INSTANTIATE_TEST_SUITE_P(Designators, RussianParseTest,
                         testing::Values(ParseCase{"07.12.2026 12:00 PM", "2026-12-07 12:00:00.000"},
                                         ParseCase{"07.12.2026 12:00 AM", "2026-12-07 00:00:00.000"},
                                         ParseCase{"07.12.2026 12:00 am", "2026-12-07 00:00:00.000"},
                                         ParseCase{"07.12.2026 1:30 pm", "2026-12-07 13:30:00.000"},
                                         ParseCase{"07.12.2026 1:30 pM", "2026-12-07 13:30:00.000"},
                                         ParseCase{"07.12.2026 PM 1:30", "2026-12-07 13:30:00.000"},
                                         ParseCase{"07.12.2026 11:59:59,999PM", "2026-12-07 23:59:59.999"},
                                         ParseCase{"07.12.2026 0:30 PM", kInvalid},
                                         ParseCase{"07.12.2026 13:00 PM", kInvalid},
                                         ParseCase{"07.12.2026 12:00 P", "2026-12-07 12:00:00.000"}));

INSTANTIATE_TEST_SUITE_P(
    Invalid, RussianParseTest,
    testing::Values(ParseCase{"", kInvalid}, ParseCase{"   ", kInvalid}, ParseCase{"07.12.2026 word", kInvalid},
                    ParseCase{"2026-12-07 12:19:08", kInvalid}, ParseCase{"31.02.2026", kInvalid},
                    ParseCase{"29.02.2024", "2024-02-29 00:00:00.000"}, ParseCase{"29.02.2100", kInvalid},
                    ParseCase{"07.12.2026 25:00", kInvalid}, ParseCase{"07.12.2026 12:60", kInvalid},
                    ParseCase{"07.12.2026 12:00:60", kInvalid}, ParseCase{"\t07.12.2026", kInvalid},
                    ParseCase{"07.12.2026\t", kInvalid}, ParseCase{"07.12.", kInvalid},
                    ParseCase{"07/12/2026", kInvalid}, ParseCase{"00.12.2026", kInvalid},
                    ParseCase{"07.13.2026", kInvalid}, ParseCase{"07.12.0000", kInvalid},
                    ParseCase{"07.12.2026 \xC4\xE0", kInvalid}, ParseCase{std::string("07.12.2026\0", 11), kInvalid}));

class EnglishParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(EnglishParseTest, Parses) { EXPECT_EQ(Parsed(GetParam().Text, EnglishFormats()), GetParam().Expected); }

INSTANTIATE_TEST_SUITE_P(
    MonthDayYear, EnglishParseTest,
    testing::Values(ParseCase{"12/7/2026 1:30 PM", "2026-12-07 13:30:00.000"},
                    ParseCase{"12/7/2026 1:30:15.250 pm", "2026-12-07 13:30:15.250"},
                    ParseCase{"12/07/2026 AM 12:05", "2026-12-07 00:05:00.000"},
                    ParseCase{"7/12/2026", "2026-07-12 00:00:00.000"}, ParseCase{"12/7", "2026-12-07 00:00:00.000"},
                    ParseCase{"12/7/26 23:00", "2026-12-07 23:00:00.000"},
                    ParseCase{"12/7/76", "1976-12-07 00:00:00.000"}, ParseCase{"12:00 AM", "1899-12-30 00:00:00.000"},
                    ParseCase{"12:00 pm", "1899-12-30 12:00:00.000"}, ParseCase{"13/7/2026", kInvalid},
                    ParseCase{"2026/12/07", kInvalid}, ParseCase{"07.12.2026", kInvalid},
                    ParseCase{"12/7/2026 1:30,5 PM", "2026-12-07 01:30:00.000"}));

TEST(DateTimeParseTest, YearMonthDayPattern) {
  TLocaleFormats f = RussianFormats();
  f.DateDelimiter = '-';
  f.ShortDatePattern = "yyyy-MM-dd";
  EXPECT_EQ(Parsed("2026-12-07 12:19:08", f), "2026-12-07 12:19:08.000");
  EXPECT_EQ(Parsed("26-12-07", f), "2026-12-07 00:00:00.000");
  EXPECT_EQ(Parsed("026-12-07", f), "0026-12-07 00:00:00.000");
  // Two numbers are month and day in every order but day-month-year.
  EXPECT_EQ(Parsed("12-07", f), "2026-12-07 00:00:00.000");
}

TEST(DateTimeParseTest, FieldOrderComesFromTheFirstFieldLetter) {
  TLocaleFormats f = RussianFormats();
  f.ShortDatePattern = "'x' D.m.Y"; // letters of either case
  EXPECT_EQ(Parsed("07.12.2026", f), "2026-12-07 00:00:00.000");
  f.ShortDatePattern = "m.d.y";
  EXPECT_EQ(Parsed("12.07.2026", f), "2026-12-07 00:00:00.000");
  f.ShortDatePattern = "e.m.d";
  EXPECT_EQ(Parsed("2026.12.07", f), "2026-12-07 00:00:00.000");
  f.ShortDatePattern = "";
  EXPECT_EQ(Parsed("12.07.2026", f), "2026-12-07 00:00:00.000");
}

TEST(DateTimeParseTest, CurrentYearComesFromTheInjectedClock) {
  EXPECT_EQ(Parsed("07.12", RussianFormats(), 2031), "2031-12-07 00:00:00.000");
  EXPECT_EQ(Parsed("7.12.80", RussianFormats(), 2031), "2080-12-07 00:00:00.000");
  EXPECT_EQ(Parsed("7.12.81", RussianFormats(), 2031), "1981-12-07 00:00:00.000");
  // The year is asked for only when a date needs it.
  int asked = 0;
  TDateTime value = 0;
  ASSERT_TRUE(TryParseDateTimeText("07.12.2026 10:00", value, RussianFormats(), [&] {
    ++asked;
    return 2026;
  }));
  EXPECT_EQ(asked, 0);
}

TEST(DateTimeParseTest, ZeroCenturyWindowKeepsTheCenturyOfTheCurrentYear) {
  TLocaleFormats f = RussianFormats();
  f.CenturyWindow = 0;
  EXPECT_EQ(Parsed("7.12.99", f), "2099-12-07 00:00:00.000");
  EXPECT_EQ(Parsed("7.12.01", f), "2001-12-07 00:00:00.000");
}

TEST(DateTimeParseTest, LocaleDesignatorsCompareWithoutCaseInCyrillic) {
  TLocaleFormats f = RussianFormats();
  f.AmText = Cp("дп");
  f.PmText = Cp("пп");
  EXPECT_EQ(Parsed("07.12.2026 1:30 " + Cp("ПП"), f), "2026-12-07 13:30:00.000");
  EXPECT_EQ(Parsed("07.12.2026 " + Cp("Дп") + " 12:15", f), "2026-12-07 00:15:00.000");
  EXPECT_EQ(Parsed("07.12.2026 1:30 PM", f), "2026-12-07 13:30:00.000");
  EXPECT_EQ(Parsed("07.12.2026 " + Cp("ПТ") + " 1:30", f), kInvalid);
}

TEST(DateTimeParseTest, DelimiterOfCodeZeroMatchesOnlyANulByte) {
  TLocaleFormats f = RussianFormats();
  f.DateDelimiter = '\0';
  EXPECT_EQ(Parsed(std::string("07\0"
                               "12\0"
                               "2026",
                               10),
                   f),
            "2026-12-07 00:00:00.000");
  EXPECT_EQ(Parsed("07.12.2026", f), kInvalid);
}

class EraParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(EraParseTest, Parses) { EXPECT_EQ(Parsed(GetParam().Text, EraFormats()), GetParam().Expected); }

INSTANTIATE_TEST_SUITE_P(EraCalendar, EraParseTest,
                         testing::Values(ParseCase{"Reiwa 8/12/07", "2026-12-07 00:00:00.000"},
                                         ParseCase{"  Reiwa  8/12/07 PM 1:30", "2026-12-07 13:30:00.000"},
                                         ParseCase{"Rei 8/12/07", "2026-12-07 00:00:00.000"},
                                         ParseCase{"Heisei 31/04/30", "2019-04-30 00:00:00.000"},
                                         ParseCase{"Showa 64/01/07", "1989-01-07 00:00:00.000"},
                                         // Unknown era: offset 0, so the century window applies.
                                         ParseCase{"Edo 8/12/07", "2008-12-07 00:00:00.000"},
                                         ParseCase{"8/12/07", "2008-12-07 00:00:00.000"},
                                         ParseCase{"Reiwa 12/07", "2026-12-07 00:00:00.000"},
                                         ParseCase{"Reiwa 8-12-07", kInvalid}));

TEST(DateTimeParseTest, EraYearFromThePatternWithoutEraName) {
  TLocaleFormats f = EraFormats();
  f.ShortDatePattern = "ee/MM/dd";
  f.EraOffsets[0] = 2019;
  EXPECT_EQ(Parsed("8/12/07", f), "2026-12-07 00:00:00.000");
  f.EraOffsets[0] = -1; // no era calendar: the century rule
  EXPECT_EQ(Parsed("8/12/07", f), "2008-12-07 00:00:00.000");
}

TEST(DateTimeParseTest, KoreanEraYearCountsBackFromTheOffset) {
  TLocaleFormats f = EraFormats();
  f.PrimaryLanguage = kLangKorean;
  f.ShortDatePattern = "ee/MM/dd";
  f.EraOffsets[0] = 2333;
  EXPECT_EQ(Parsed("4359/12/07", f), "2026-12-07 00:00:00.000");
  // Short years take the hundreds of current year + offset.
  EXPECT_EQ(Parsed("59/12/07", f), "2026-12-07 00:00:00.000");
  EXPECT_EQ(Parsed("1000/12/07", f), kInvalid);
}

TEST(DateTimeParseTest, DayNameAfterTheDateIsSkippedUpToTheDesignator) {
  TLocaleFormats f = EraFormats();
  f.ShortDatePattern = "yyyy/MM/dd ddd";
  EXPECT_EQ(Parsed("2026/12/07 Mon PM 1:30", f), "2026-12-07 13:30:00.000");
  EXPECT_EQ(Parsed("2026/12/07 Mon", f), "2026-12-07 00:00:00.000");
  // Without the double-byte locale the day name is no time.
  f.IsDbcsLocale = false;
  EXPECT_EQ(Parsed("2026/12/07 Mon PM 1:30", f), kInvalid);
}

TEST(DateTimeParseTest, SkipToNumberStepsOverDoubleByteCharacters) {
  TLocaleFormats f = EraFormats();
  f.ShortDatePattern = "yyyy/MM/dd ddd";
  f.ShortTimePattern = "0h:mm"; // a time pattern starting with a digit
  f.LeadBytes.set(0x81);
  // The "1" after the lead byte is its trail byte, not the hour.
  EXPECT_EQ(Parsed("2026/12/07 \x81"
                   "1 13:30",
                   f),
            "2026-12-07 13:30:00.000");
  f.LeadBytes.reset();
  EXPECT_EQ(Parsed("2026/12/07 \x81"
                   "1 13:30",
                   f),
            "2026-12-07 01:00:00.000");
}

TEST(DateTimeParseTest, TimeTextMustEndAtTheEnd) {
  const TLocaleFormats f = RussianFormats();
  TDateTime value = -7;
  EXPECT_TRUE(TryParseTimeText(" 12:19:08,5 ", value, f));
  EXPECT_EQ(FormatIsoDateTime(value), "1899-12-30 12:19:08.005");
  value = -7;
  EXPECT_FALSE(TryParseTimeText("12:19:08 x", value, f));
  EXPECT_FALSE(TryParseTimeText("07.12.2026", value, f));
  EXPECT_EQ(value, -7);
}

// The process-wide entry points read LocaleFormats and the year source.
class GlobalParseTest : public testing::Test {
protected:
  void SetUp() override {
    saved_ = LocaleFormats;
    LocaleFormats = RussianFormats();
    SetCurrentYearSource([] { return 2026; });
  }
  void TearDown() override {
    LocaleFormats = saved_;
    SetCurrentYearSource(nullptr);
  }
  TLocaleFormats saved_;
};

TEST_F(GlobalParseTest, ParsesUnderTheProcessSettings) {
  EXPECT_EQ(FormatIsoDateTime(ParseDateTimeText("07.12 12:19:08")), "2026-12-07 12:19:08.000");
  EXPECT_EQ(CurrentYear(), 2026);
  TDateTime value = 0;
  EXPECT_TRUE(TryParseTimeText("12:19", value));
  EXPECT_TRUE(TryParseDateTimeText("07.12.2026", value));
  EXPECT_EQ(value, 46363);
}

TEST_F(GlobalParseTest, FailureNamesTheWholeTextUnchanged) {
  const std::string texts[] = {"2026-12-07 12:19:08", "", "\t07.12.2026", std::string("07\0x", 4), "%s %d"};
  for (const std::string& text : texts) {
    try {
      ParseDateTimeText(text);
      ADD_FAILURE() << text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "'" + text + "' is not a valid date and time");
    }
  }
}

TEST_F(GlobalParseTest, DefaultYearSourceIsTheLocalClock) {
  SetCurrentYearSource(nullptr);
  const int year = CurrentYear();
  EXPECT_GE(year, 1970);
  // Only the relation to the clock's year is checked, never a fixed year.
  TDateTime value = 0;
  ASSERT_TRUE(TryParseDateTimeText("01.01", value));
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  EXPECT_TRUE(y == year || y == CurrentYear()); // the year may turn between the calls
}

} // namespace
} // namespace od
