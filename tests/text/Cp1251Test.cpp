#include "text/Cp1251.h"

#include <gtest/gtest.h>

namespace od {
namespace {

struct ConversionCase {
  const char* utf8;
  const char* cp1251;
};

class Cp1251RoundTripTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(Cp1251RoundTripTest, ConvertsBothWays) {
  const auto& c = GetParam();
  EXPECT_EQ(Utf8ToCp1251(c.utf8), c.cp1251);
  EXPECT_EQ(Cp1251ToUtf8(c.cp1251), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(Texts, Cp1251RoundTripTest,
                         ::testing::Values(ConversionCase{"", ""}, ConversionCase{"ASCII 123", "ASCII 123"},
                                           ConversionCase{"Даты восстановлены", "\xC4\xE0\xF2\xFB \xE2\xEE\xF1\xF1\xF2"
                                                                                "\xE0\xED\xEE\xE2\xEB\xE5\xED\xFB"},
                                           ConversionCase{"Ёё №", "\xA8\xB8 \xB9"},
                                           ConversionCase{"Открытие БД", "\xCE\xF2\xEA\xF0\xFB\xF2\xE8\xE5 \xC1\xC4"}));

TEST(Cp1251Test, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b"); // a CJK character
  EXPECT_EQ(Utf8ToCp1251("a\xFF"
                         "b"),
            "a?b");                                // malformed UTF-8
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD"); // the one unassigned byte
  EXPECT_EQ(Utf8ToCp1251(std::string(100000, 'x')).size(), 100000u);
}

} // namespace
} // namespace od

namespace od {
namespace {

struct CharsetCase {
  std::string Charset;
  std::string Input;
  std::string Expected; // code page 1251
};

class ToCp1251Test : public testing::TestWithParam<CharsetCase> {};

TEST_P(ToCp1251Test, ConvertsFromTheLocaleCodeset) {
  EXPECT_EQ(ToCp1251(GetParam().Input, GetParam().Charset.c_str()), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Codesets, ToCp1251Test,
                         testing::Values(CharsetCase{"UTF-8", "\xD0\x94\xD0\xBF", "\xC4\xEF"},
                                         CharsetCase{"utf8", "AM", "AM"},
                                         CharsetCase{"ISO-8859-5", "\xB4\xDF", "\xC4\xEF"},
                                         CharsetCase{"ANSI_X3.4-1968", "%d.%m", "%d.%m"},
                                         CharsetCase{"ANSI_X3.4-1968",
                                                     "a\xFF"
                                                     "b",
                                                     "a?b"},
                                         CharsetCase{"UTF-8", "\xE4\xB8\xAD", "?"}));

} // namespace
} // namespace od

namespace od {
namespace {

TEST(Koi8Test, ConvertsBothWaysAndMarksWhatKoi8Lacks) {
  EXPECT_EQ(Cp1251ToKoi8("\xCF\xF0\xE8 1"), "\xF0\xD2\xC9 1");
  EXPECT_EQ(Koi8ToCp1251("\xF0\xD2\xC9 1"), "\xCF\xF0\xE8 1");
  EXPECT_EQ(Cp1251ToKoi8("a\x88"
                         "b"),
            "a?b"); // the euro sign
}

} // namespace
} // namespace od
