#include "text/LocaleFormats.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>

#include "text/DateTimeParse.h"

namespace od {
namespace {

// The fields derived from a real C library locale.
struct LocaleCase {
  std::string Name;
  char DateDelimiter;
  std::string ShortDatePattern;
  char TimeDelimiter;
  std::string AmText, PmText;
  char DecimalDelimiter;
  std::string ShortTimePattern;
  std::uint16_t PrimaryLanguage;
};

std::ostream& operator<<(std::ostream& os, const LocaleCase& c) { return os << c.Name; }

class SystemLocaleTest : public testing::TestWithParam<LocaleCase> {};

TEST_P(SystemLocaleTest, DerivesTheFields) {
  const LocaleCase& c = GetParam();
  const TLocaleFormats f = BuildLocaleFormats(ReadLocaleItems(c.Name));
  EXPECT_EQ(f.DateDelimiter, c.DateDelimiter);
  EXPECT_EQ(f.ShortDatePattern, c.ShortDatePattern);
  EXPECT_EQ(f.TimeDelimiter, c.TimeDelimiter);
  EXPECT_EQ(f.AmText, c.AmText);
  EXPECT_EQ(f.PmText, c.PmText);
  EXPECT_EQ(f.DecimalDelimiter, c.DecimalDelimiter);
  EXPECT_EQ(f.ShortTimePattern, c.ShortTimePattern);
  EXPECT_EQ(f.PrimaryLanguage, c.PrimaryLanguage);
  EXPECT_EQ(f.CenturyWindow, 50);
  EXPECT_FALSE(f.IsDbcsLocale);
  EXPECT_EQ(f.EraTexts[0], "");
}

INSTANTIATE_TEST_SUITE_P(
    Glibc, SystemLocaleTest,
    testing::Values(LocaleCase{"ru_RU.UTF-8", '.', "dd.MM.yyyy", ':', "", "", ',', "hh:mm", kLangRussian},
                    LocaleCase{"en_US.UTF-8", '/', "MM/dd/yyyy", ':', "AM", "PM", '.', "hh:mm AMPM", kLangEnglish},
                    LocaleCase{"C", '/', "MM/dd/yy", ':', "AM", "PM", '.', "hh:mm", kLangEnglish},
                    LocaleCase{"POSIX", '/', "MM/dd/yy", ':', "AM", "PM", '.', "hh:mm", kLangEnglish},
                    // A locale that is not installed reads as the C locale.
                    LocaleCase{"xx_YY.UTF-8", '/', "MM/dd/yy", ':', "AM", "PM", '.', "hh:mm", kLangEnglish}),
    [](const auto& info) {
      std::string name;
      for (char c : info.param.Name) name += (c == '.' || c == '-') ? '_' : c;
      return name;
    });

class ProcessLocaleTest : public testing::Test {
protected:
  void SetUp() override { saved_ = LocaleFormats; }
  void TearDown() override {
    LocaleFormats = saved_;
    SetCurrentYearSource(nullptr);
  }
  TLocaleFormats saved_;
};

TEST_F(ProcessLocaleTest, LoadFromANamedLocaleSetsTheProcessSettings) {
  LoadLocaleFormatsFrom("ru_RU.UTF-8");
  EXPECT_EQ(LocaleFormats.ShortDatePattern, "dd.MM.yyyy");
  SetCurrentYearSource([] { return 2026; });
  EXPECT_EQ(FormatIsoDateTime(ParseDateTimeText("07.12.2026 12:19:08")), "2026-12-07 12:19:08.000");
  LoadLocaleFormatsFrom("en_US.UTF-8");
  EXPECT_EQ(FormatIsoDateTime(ParseDateTimeText("12/07/2026 12:19:08 PM")), "2026-12-07 12:19:08.000");
}

// Each category of the environment is read on its own: the time items from
// LC_TIME, the decimal separator from LC_NUMERIC.
struct EnvironmentCase {
  const char* Time;
  const char* Numeric;
  const char* ShortDatePattern;
  std::uint16_t PrimaryLanguage;
  char DecimalDelimiter;
};

class EnvironmentLocaleTest : public ProcessLocaleTest, public testing::WithParamInterface<EnvironmentCase> {};

TEST_P(EnvironmentLocaleTest, LoadReadsEachCategoryOnItsOwn) {
  const char* names[] = {"LC_ALL", "LC_TIME", "LC_NUMERIC", "LANG"};
  std::optional<std::string> saved[4];
  for (int i = 0; i < 4; ++i)
    if (const char* v = std::getenv(names[i])) saved[i] = v;
  unsetenv("LC_ALL");
  setenv("LANG", "C", 1);
  setenv("LC_TIME", GetParam().Time, 1);
  setenv("LC_NUMERIC", GetParam().Numeric, 1);
  LoadLocaleFormats();
  const TLocaleFormats f = LocaleFormats;
  for (int i = 0; i < 4; ++i) {
    if (saved[i])
      setenv(names[i], saved[i]->c_str(), 1);
    else
      unsetenv(names[i]);
  }
  EXPECT_EQ(f.ShortDatePattern, GetParam().ShortDatePattern);
  EXPECT_EQ(f.PrimaryLanguage, GetParam().PrimaryLanguage);
  EXPECT_EQ(f.DecimalDelimiter, GetParam().DecimalDelimiter);
}

// A category naming a locale that is not installed reads as "C".
INSTANTIATE_TEST_SUITE_P(Environment, EnvironmentLocaleTest,
                         testing::Values(EnvironmentCase{"ru_RU.UTF-8", "en_US.UTF-8", "dd.MM.yyyy", kLangRussian, '.'},
                                         EnvironmentCase{"en_US.UTF-8", "ru_RU.UTF-8", "MM/dd/yyyy", kLangEnglish, ','},
                                         EnvironmentCase{"ru_RU.UTF-8", "xx_YY.UTF-8", "dd.MM.yyyy", kLangRussian, '.'},
                                         EnvironmentCase{"xx_YY.UTF-8", "ru_RU.UTF-8", "MM/dd/yy", kLangEnglish, ','}));

TEST(BuildLocaleFormatsTest, ItemsThatCannotBeReadGiveTheDefaults) {
  const TLocaleFormats f = BuildLocaleFormats(TLocaleItems{});
  EXPECT_EQ(f.DateDelimiter, '/');
  EXPECT_EQ(f.ShortDatePattern, "m/d/yy");
  EXPECT_EQ(f.TimeDelimiter, ':');
  EXPECT_EQ(f.AmText, "am");
  EXPECT_EQ(f.PmText, "pm");
  EXPECT_EQ(f.DecimalDelimiter, '.');
  EXPECT_EQ(f.ShortTimePattern, "h:mm AMPM");
  EXPECT_EQ(f.PrimaryLanguage, kLangEnglish);
  EXPECT_EQ(f.CenturyWindow, 50);
  EXPECT_FALSE(f.IsDbcsLocale);
}

struct CharItemCase {
  std::optional<std::string> Item;
  char Expected;
};

class CharItemTest : public testing::TestWithParam<CharItemCase> {};

TEST_P(CharItemTest, OneCharacterRule) {
  TLocaleItems items;
  items.DateDelimiter = items.TimeDelimiter = items.Decimal = GetParam().Item;
  const TLocaleFormats f = BuildLocaleFormats(items);
  const TLocaleFormats defaults;
  const bool fallback = !GetParam().Item || GetParam().Item->size() > 1;
  EXPECT_EQ(f.DateDelimiter, fallback ? defaults.DateDelimiter : GetParam().Expected);
  EXPECT_EQ(f.TimeDelimiter, fallback ? defaults.TimeDelimiter : GetParam().Expected);
  EXPECT_EQ(f.DecimalDelimiter, fallback ? defaults.DecimalDelimiter : GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Items, CharItemTest,
                         testing::Values(CharItemCase{std::nullopt, 0}, CharItemCase{"-", '-'}, CharItemCase{"", '\0'},
                                         CharItemCase{". ", 0}));

TEST(BuildLocaleFormatsTest, TextItemRule) {
  TLocaleItems items;
  items.AmText = "";
  items.PmText = std::string(255, 'p');
  items.ShortDate = std::string(256, 'd');
  const TLocaleFormats f = BuildLocaleFormats(items);
  EXPECT_EQ(f.AmText, "");
  EXPECT_EQ(f.PmText, std::string(255, 'p'));
  EXPECT_EQ(f.ShortDatePattern, "m/d/yy");
}

struct TimePatternCase {
  std::optional<int> LeadingZero, Format, MarkPosition;
  std::string Expected;
};

class TimePatternTest : public testing::TestWithParam<TimePatternCase> {};

TEST_P(TimePatternTest, Built) {
  TLocaleItems items;
  items.TimeLeadingZero = GetParam().LeadingZero;
  items.TimeFormat = GetParam().Format;
  items.TimeMarkPosition = GetParam().MarkPosition;
  EXPECT_EQ(BuildLocaleFormats(items).ShortTimePattern, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Items, TimePatternTest,
                         testing::Values(TimePatternCase{0, 0, 0, "h:mm AMPM"}, TimePatternCase{1, 0, 0, "hh:mm AMPM"},
                                         TimePatternCase{0, 0, 1, "AMPM h:mm"}, TimePatternCase{1, 1, 1, "hh:mm"},
                                         TimePatternCase{0, 1, 0, "h:mm"},
                                         TimePatternCase{std::nullopt, std::nullopt, std::nullopt, "h:mm AMPM"}));

struct LanguageCase {
  std::uint32_t LocaleId;
  std::uint16_t Primary;
};

class PrimaryLanguageTest : public testing::TestWithParam<LanguageCase> {};

TEST_P(PrimaryLanguageTest, FromTheLowTenBits) {
  TLocaleItems items;
  items.LocaleId = GetParam().LocaleId;
  EXPECT_EQ(BuildLocaleFormats(items).PrimaryLanguage, GetParam().Primary);
}

INSTANTIATE_TEST_SUITE_P(Items, PrimaryLanguageTest,
                         testing::Values(LanguageCase{0x0419, 25}, LanguageCase{0x0409, 9}, LanguageCase{0x0411, 17},
                                         LanguageCase{0x0000, 9}, LanguageCase{0x10000, 9},
                                         LanguageCase{0x7FF, 0x3FF}));

struct NameCase {
  std::string Name;
  std::uint32_t LocaleId;
};

class LocaleIdTest : public testing::TestWithParam<NameCase> {};

TEST_P(LocaleIdTest, FromTheLanguageCode) { EXPECT_EQ(LocaleIdFromName(GetParam().Name), GetParam().LocaleId); }

INSTANTIATE_TEST_SUITE_P(Names, LocaleIdTest,
                         testing::Values(NameCase{"ru_RU.UTF-8", 0x0419}, NameCase{"en_US.UTF-8", 0x0409},
                                         NameCase{"zh_CN.GB18030", 0x0404}, NameCase{"ja_JP.UTF-8", 0x0411},
                                         NameCase{"ko_KR.EUC-KR", 0x0412}, NameCase{"ru", 0x0419},
                                         NameCase{"RU_ru", 0x0419}, NameCase{"de_DE@euro", 0x0407}, NameCase{"C", 0},
                                         NameCase{"POSIX", 0}, NameCase{"C.UTF-8", 0}, NameCase{"", 0},
                                         NameCase{"xx_YY", 0}));

struct EraRuleCase {
  std::optional<int> CalendarType;
  std::uint32_t LocaleId;
  std::string Pattern;
  std::string Expected;
};

class EraRuleTest : public testing::TestWithParam<EraRuleCase> {};

TEST_P(EraRuleTest, RewritesTheShortDate) {
  TLocaleItems items;
  items.CalendarType = GetParam().CalendarType;
  items.LocaleId = GetParam().LocaleId;
  items.ShortDate = GetParam().Pattern;
  EXPECT_EQ(BuildLocaleFormats(items).ShortDatePattern, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Items, EraRuleTest,
                         testing::Values(EraRuleCase{3, 0x0411, "gg yy/MM/dd", "ggg ee/MM/dd"},
                                         EraRuleCase{4, 0x0404, "Gg yyyy/M/d", "ggg eeee/M/d"},
                                         EraRuleCase{5, 0x0412, "yyy.MM.dd", "eee.MM.dd"},
                                         EraRuleCase{3, 0x0411, "Y-M-d g", "e-M-d g"},
                                         EraRuleCase{1, 0x0411, "gg yyyy/MM/dd", " yyyy/MM/dd"},
                                         EraRuleCase{std::nullopt, 0x0412, "Gg yyyy", " yyyy"},
                                         EraRuleCase{1, 0x0404, "yyyy/M/d g", "yyyy/M/d "},
                                         EraRuleCase{1, 0x0419, "gg dd.MM.yyyy", "gg dd.MM.yyyy"}));

TEST(BuildLocaleFormatsTest, EraRuleCopiesDoubleByteCharactersWhole) {
  TLocaleItems items;
  items.IsDbcs = true;
  items.LeadBytes.set(0x82);
  items.CalendarType = 3;
  items.ShortDate = "\x82y yy";
  EXPECT_EQ(BuildLocaleFormats(items).ShortDatePattern, "\x82y ee");
}

TEST(BuildLocaleFormatsTest, EraNamesAndOffsetsOnlyForDoubleByteEraCalendars) {
  TLocaleItems items;
  items.IsDbcs = true;
  items.OptionalCalendar = 3;
  items.EraNames = {"Heisei", "Reiwa"};
  items.EraYearOffsets = {"1989", "x2019"};
  TLocaleFormats f = BuildLocaleFormats(items);
  EXPECT_EQ(f.EraTexts[0], "Heisei");
  EXPECT_EQ(f.EraTexts[1], "Reiwa");
  EXPECT_EQ(f.EraTexts[2], "");
  EXPECT_EQ(f.EraOffsets, (std::array<int, kMaxEras>{1989, 0, -1, -1, -1, -1, -1}));

  items.OptionalCalendar = 1;
  f = BuildLocaleFormats(items);
  EXPECT_EQ(f.EraTexts[0], "");
  EXPECT_EQ(f.EraOffsets, (std::array<int, kMaxEras>{}));

  items.OptionalCalendar = 5;
  items.IsDbcs = false;
  f = BuildLocaleFormats(items);
  EXPECT_EQ(f.EraTexts[0], "");
}

struct FormatCase {
  std::string DateFormat;
  std::string Pattern;
};

class DateFormatTest : public testing::TestWithParam<FormatCase> {};

TEST_P(DateFormatTest, ToShortDatePattern) {
  EXPECT_EQ(DateFormatToPattern(GetParam().DateFormat), GetParam().Pattern);
}

INSTANTIATE_TEST_SUITE_P(Conversions, DateFormatTest,
                         testing::Values(FormatCase{"%d.%m.%Y", "dd.MM.yyyy"}, FormatCase{"%m/%d/%y", "MM/dd/yy"},
                                         FormatCase{"%-d.%-m.%Y", "d.M.yyyy"}, FormatCase{"%e/%m/%Y", "d/MM/yyyy"},
                                         FormatCase{"%F", "yyyy-MM-dd"}, FormatCase{"%D", "MM/dd/yy"},
                                         FormatCase{"%a %d %b %Y", "ddd dd MMM yyyy"},
                                         FormatCase{"%A, %B %d", "dddd, MMMM dd"},
                                         FormatCase{"%d de %m", "dd 'd''e' MM"}, FormatCase{"%EC%Ey", "ggyy"},
                                         FormatCase{"%Od.%Om.%Y", "dd.MM.yyyy"}, FormatCase{"100%%", "100%"},
                                         FormatCase{"%", ""}, FormatCase{"%Q%d", "dd"},
                                         FormatCase{"\xE3\xEE\xE4 %Y", "\xE3\xEE\xE4 yyyy"}));

} // namespace
} // namespace od
