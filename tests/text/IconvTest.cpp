#include "text/Iconv.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace od {
namespace {

using TSkip = TIconvReplacement::TSkip;

struct ConvertCase {
  const char* name;
  const char* to;
  const char* from;
  std::string input;
  TIconvReplacement replacement;
  std::string expected;
};

class IconvTest : public testing::TestWithParam<ConvertCase> {};

TEST_P(IconvTest, ReplacesWhatTheTargetCannotHold) {
  const ConvertCase& c = GetParam();
  TIconv converter(c.to, c.from);
  EXPECT_EQ(converter.Convert(c.input, c.replacement), c.expected);
  // The descriptor starts again from its initial state.
  EXPECT_EQ(converter.Convert(c.input, c.replacement), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, IconvTest,
    testing::Values(
        ConvertCase{"Cyrillic", "CP1251", "UTF-8", "\xD0\x94\xD0\xB0", {"?", TSkip::Utf8Character}, "\xC4\xE0"},
        ConvertCase{"Missing_character",
                    "CP1251",
                    "UTF-8",
                    "a\xE4\xB8\xAD"
                    "b",
                    {"?", TSkip::Utf8Character},
                    "a?b"},
        ConvertCase{"Stray_continuations_one_each",
                    "CP1251",
                    "UTF-8",
                    "\x80\x80"
                    "b",
                    {"?", TSkip::Utf8Character},
                    "??b"},
        ConvertCase{"Stray_continuations_as_one_run",
                    "CP1251",
                    "UTF-8",
                    "\x80\x80"
                    "b",
                    {"?", TSkip::Utf8Run},
                    "?b"},
        ConvertCase{"Cut_character",
                    "CP1251",
                    "UTF-8",
                    "\xE4\xB8"
                    "b",
                    {"?", TSkip::Utf8Character},
                    "?b"},
        ConvertCase{"Cut_at_the_end", "CP1251", "UTF-8", "a\xE4\xB8", {"?", TSkip::Utf8Run}, "a?"},
        ConvertCase{"Unassigned_byte", "UTF-8", "CP1251", "a\x98", {"\xEF\xBF\xBD", TSkip::Byte}, "a\xEF\xBF\xBD"},
        ConvertCase{"Longer_replacement_grows_the_output",
                    "ANSI_X3.4-1968",
                    "CP1251",
                    std::string(40, '\xC4'),
                    {"<?>", TSkip::Byte},
                    [] {
                      std::string s;
                      for (int i = 0; i < 40; ++i) s += "<?>";
                      return s;
                    }()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IconvOpenTest, AnUnknownCodeSetRaises) {
  try {
    TIconv converter("NO-SUCH-CODESET", "UTF-8");
    ADD_FAILURE() << "opened";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "iconv_open failed for UTF-8");
  }
}

} // namespace
} // namespace od
