#include "text/StringList.h"

#include "base/MemoryStream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace od {
namespace {

struct LinesCase {
  const char* label;
  std::string body;
  std::vector<std::string> lines;
};

class LoadFromStreamTest : public ::testing::TestWithParam<LinesCase> {};

TEST_P(LoadFromStreamTest, SplitsTheBodyIntoLines) {
  const auto& c = GetParam();
  TMemoryStream stream;
  stream.Write(c.body);
  stream.SetPosition(0);
  TStringList list;
  list.Add("left over from an earlier answer");
  list.LoadFromStream(stream);
  std::vector<std::string> got(list.begin(), list.end());
  EXPECT_EQ(got, c.lines);
  EXPECT_EQ(stream.Position(), stream.Size());
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(Bodies, LoadFromStreamTest,
                         ::testing::Values(LinesCase{"empty", "", {}}, LinesCase{"crlf_alone", "\r\n", {""}},
                                           LinesCase{"no_final_break", "A\r\nB", {"A", "B"}},
                                           LinesCase{"lf_cr_is_two_breaks", "A\n\rB", {"A", "", "B"}},
                                           LinesCase{"cr_cr_lf", "A\r\r\nB", {"A", "", "B"}},
                                           LinesCase{"nul_ends_text", "A\0B\r\nC"s, {"A"}},
                                           LinesCase{"leading_nul", "\0A"s, {}},
                                           LinesCase{"break_at_end", "A\r\n", {"A"}},
                                           LinesCase{"lone_cr_and_lf", "A\rB\nC", {"A", "B", "C"}},
                                           LinesCase{"blanks_kept", "  A  \r\n\tB", {"  A  ", "\tB"}},
                                           LinesCase{"bom_stays",
                                                     "\xEF\xBB\xBF"
                                                     "A",
                                                     {"\xEF\xBB\xBF"
                                                      "A"}},
                                           LinesCase{"high_bytes_verbatim", "\xC4\xE0\xF2\xFB\n", {"\xC4\xE0\xF2\xFB"}},
                                           LinesCase{"two_empty_lines", "\n\n", {"", ""}}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(StringListTest, LoadsFromTheStreamPositionOn) {
  TMemoryStream stream;
  stream.Write("skip\r\nkeep");
  stream.SetPosition(6);
  TStringList list;
  list.LoadFromStream(stream);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0], "keep");
}

TEST(StringListTest, IndexOutsideTheListRaisesWithTheIndex) {
  TStringList list;
  for (int index : {0, -1, 1}) {
    try {
      list.Get(index);
      FAIL() << "no exception for " << index;
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(index) + ")");
    }
  }
  list.Add("x");
  EXPECT_EQ(list.Get(0), "x");
  EXPECT_THROW(list.Get(1), EStringListError);
}

TEST(StringListTest, EmptyBodyReplacesEarlierLines) {
  TStringList list;
  list.SetText("a\r\nb");
  TMemoryStream empty;
  list.LoadFromStream(empty);
  EXPECT_EQ(list.Count(), 0);
}

TEST(StringListTest, NameValueLinesMatchNamesWithoutCase) {
  TStringList list;
  list.Add("user_name=SYSDBA");
  list.Add("lc_ctype=WIN1251");
  list.Add("no value here");
  EXPECT_EQ(list.IndexOfName("LC_CTYPE"), 1);
  EXPECT_EQ(list.IndexOfName("no value here"), -1);
  EXPECT_EQ(TStringList::ValueOf(list[1]), "WIN1251");
  EXPECT_EQ(TStringList::NameOf(list[0]), "user_name");
  EXPECT_EQ(list.Text(), "user_name=SYSDBA\r\nlc_ctype=WIN1251\r\nno value here\r\n");
}

} // namespace
} // namespace od
