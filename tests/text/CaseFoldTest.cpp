#include "text/CaseFold.h"

#include <gtest/gtest.h>
#include <string>

#include "text/Cp1251.h"

namespace od {
namespace {

struct FoldCase {
  std::string Lower; // UTF-8
  std::string Upper; // UTF-8
};

class CaseFoldTest : public testing::TestWithParam<FoldCase> {};

TEST_P(CaseFoldTest, FoldsToTheCapital) {
  const std::string lower = Cp(GetParam().Lower);
  const std::string upper = Cp(GetParam().Upper);
  ASSERT_EQ(lower.size(), 1u);
  ASSERT_EQ(upper.size(), 1u);
  EXPECT_EQ(UpperCp1251(lower[0]), upper[0]);
  EXPECT_EQ(UpperCp1251(upper[0]), upper[0]);
  EXPECT_TRUE(EqualsIgnoreCaseCp1251(lower, upper));
}

INSTANTIATE_TEST_SUITE_P(Letters, CaseFoldTest,
                         testing::Values(FoldCase{"a", "A"}, FoldCase{"z", "Z"}, FoldCase{"а", "А"}, FoldCase{"я", "Я"},
                                         FoldCase{"ё", "Ё"}, FoldCase{"ґ", "Ґ"}, FoldCase{"і", "І"}, FoldCase{"ї", "Ї"},
                                         FoldCase{"є", "Є"}, FoldCase{"ў", "Ў"}, FoldCase{"ђ", "Ђ"}, FoldCase{"џ", "Џ"},
                                         FoldCase{"1", "1"}, FoldCase{"«", "«"}));

TEST(CaseFoldTest, NonLettersStay) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool letter = (b >= 'a' && b <= 'z') || b >= 0x80;
    if (!letter) {
      EXPECT_EQ(UpperCp1251(c), c) << b;
    }
  }
  // The micro sign has no capital in the code page.
  EXPECT_EQ(UpperCp1251('\xB5'), '\xB5');
}

TEST(CaseFoldTest, Comparisons) {
  EXPECT_TRUE(EqualsIgnoreCaseCp1251(Cp("Пятница"), Cp("пЯТНИЦА")));
  EXPECT_FALSE(EqualsIgnoreCaseCp1251(Cp("Пятница"), Cp("Пятниц")));
  EXPECT_FALSE(EqualsIgnoreCaseCp1251("PM", "PN"));
  EXPECT_TRUE(EqualsIgnoreCaseCp1251("", ""));
  EXPECT_TRUE(StartsWithIgnoreCaseCp1251(Cp("ПП 1:30"), Cp("пп")));
  EXPECT_TRUE(StartsWithIgnoreCaseCp1251("x", ""));
  EXPECT_FALSE(StartsWithIgnoreCaseCp1251("P", "PM"));
}

} // namespace
} // namespace od
