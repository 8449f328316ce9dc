#include "text/SystemText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace od {
namespace {

// Each case names its C locale: the machine's own never decides.
struct TerminalCase {
  const char* name;
  const char* locale;
  std::string utf8;
  std::string expected;
};

class Utf8ToSystemTextTest : public testing::TestWithParam<TerminalCase> {
protected:
  void SetUp() override { saved_ = std::setlocale(LC_CTYPE, nullptr); }
  void TearDown() override { std::setlocale(LC_CTYPE, saved_.c_str()); }
  std::string saved_;
};

TEST_P(Utf8ToSystemTextTest, WritesTheLocalesCodeSet) {
  ASSERT_NE(std::setlocale(LC_CTYPE, GetParam().locale), nullptr) << GetParam().locale;
  EXPECT_EQ(Utf8ToSystemText(GetParam().utf8), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, Utf8ToSystemTextTest,
    testing::Values(TerminalCase{"Utf8_as_it_is", "C.UTF-8", "\xD0\x94\xD0\xB0 \x80", "\xD0\x94\xD0\xB0 \x80"},
                    TerminalCase{"Ascii_one_mark_per_character", "C", "\xD0\x94\xD0\xB0 ok", "?? ok"},
                    TerminalCase{"Ascii_one_mark_per_malformed_run", "C",
                                 "a\x80\x80\x80"
                                 "b",
                                 "a?b"},
                    TerminalCase{"Ascii_plain", "C", "orderdates: 3 goods lines", "orderdates: 3 goods lines"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace od
