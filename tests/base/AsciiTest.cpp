#include "base/Ascii.h"
#include "base/Exception.h"

#include <gtest/gtest.h>

namespace od {
namespace {

TEST(AsciiTest, HighBytesAreNeverLettersOrDigits) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    const char c = static_cast<char>(b);
    EXPECT_FALSE(IsAlnum(c)) << b;
    EXPECT_FALSE(IsHexDigit(c)) << b;
    EXPECT_EQ(ToUpperAscii(c), c) << b;
    EXPECT_EQ(ToLowerAscii(c), c) << b;
  }
}

TEST(AsciiTest, CaseInsensitiveEqualityAndTrim) {
  EXPECT_TRUE(EqualsIgnoreCaseAscii("lc_ctype", "LC_CTYPE"));
  EXPECT_FALSE(EqualsIgnoreCaseAscii("\xE0", "\xC0")); // Cyrillic a/A: ASCII rules only
  EXPECT_FALSE(EqualsIgnoreCaseAscii("abc", "abcd"));
  EXPECT_EQ(TrimView(" \t\r\n x y \x01"), "x y");
  EXPECT_EQ(TrimView("   "), "");
  EXPECT_EQ(HexValue('f'), 15);
  EXPECT_EQ(HexValue('G'), -1);
}

TEST(FormatTest, ComposesLikePrintf) {
  EXPECT_EQ(Format("List index out of bounds (%d)", -1), "List index out of bounds (-1)");
  EXPECT_EQ(Format("%s", ""), "");
  EXPECT_EQ(Format("%s:%d", std::string(300, 'x').c_str(), 7).size(), 302u);
}

} // namespace
} // namespace od
