#include "db/ParamScan.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace od {
namespace {

const std::string kUpdateText =
    "UPDATE TBL_ZAKAZ_TOVARS SET \r\n   DATA_TIME_SEND=:DATA_TIME_SEND\r\nWHERE\r\n    ID=:ID\r\n";
const std::string kCountText = "SELECT count(ID)\r\nFROM\r\n    TBL_ZAKAZ_TOVARS \r\nwhere zakaz_id>0\r\n";
const std::string kListText =
    "SELECT\r\n    ID,\r\n    ZAKAZ_ID\r\nFROM\r\n    TBL_ZAKAZ_TOVARS \r\nWHERE ZAKAZ_ID>0\r\nORDER BY ZAKAZ_ID\r\n";

std::vector<std::string> Names(const TParamScanResult& result) {
  std::vector<std::string> names;
  for (const auto& p : result.Params) names.push_back(p.Name);
  return names;
}

// ---- classifier ----

struct ClassifyCase {
  const char* text;
  TSqlKind kind;
};

class ClassifyTest : public testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyTest, FirstKeywordDecides) { EXPECT_EQ(ClassifySql(GetParam().text), GetParam().kind); }

INSTANTIATE_TEST_SUITE_P(
    Texts, ClassifyTest,
    testing::Values(
        ClassifyCase{"SELECT 1 FROM RDB$DATABASE", TSqlKind::Select},
        ClassifyCase{"  \r\n select(1) from t", TSqlKind::Select},
        ClassifyCase{"/* lead */ -- line\r\nSELECT 1", TSqlKind::Select}, ClassifyCase{"SELECTED", TSqlKind::None},
        ClassifyCase{"UPDATE T SET A=1", TSqlKind::Update}, ClassifyCase{"delete from t", TSqlKind::Delete},
        ClassifyCase{"Insert into t", TSqlKind::Insert}, ClassifyCase{"EXECUTE PROCEDURE P(1)", TSqlKind::Procedure},
        ClassifyCase{"execute\r\n  block as begin end", TSqlKind::ExecuteBlock},
        ClassifyCase{"CREATE TABLE T (A INT)", TSqlKind::DDL},
        ClassifyCase{"recreate view v as select 1 from t", TSqlKind::DDL}, ClassifyCase{"DROP TABLE T;", TSqlKind::DDL},
        ClassifyCase{"ALTER TABLE T", TSqlKind::DDL}, ClassifyCase{"COMMENT ON TABLE T IS 'x'", TSqlKind::DDL},
        ClassifyCase{"DECLARE EXTERNAL FUNCTION F", TSqlKind::DDL}, ClassifyCase{"SET GENERATOR G TO 5", TSqlKind::DDL},
        ClassifyCase{"SET \"GENERATOR\" G TO 5", TSqlKind::DDL}, ClassifyCase{"SET STATISTICS INDEX I", TSqlKind::None},
        ClassifyCase{"COMMIT", TSqlKind::None}, ClassifyCase{"", TSqlKind::None},
        ClassifyCase{"/* unterminated", TSqlKind::None}));

// ---- marker test ----

struct MarkerCase {
  const char* text;
  bool hasMarkers;
};

class MarkerTest : public testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerTest, FindsMarkersOutsideLiteralsAndComments) {
  EXPECT_EQ(HasParamMarkers(GetParam().text), GetParam().hasMarkers) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MarkerTest,
    testing::Values(MarkerCase{"UPDATE T SET A=:A", true}, MarkerCase{"SELECT * FROM T WHERE A=?", true},
                    MarkerCase{"SELECT @M FROM T", true}, MarkerCase{"SELECT ':A' FROM T", false},
                    MarkerCase{"SELECT \"A:B\" FROM T", false}, MarkerCase{"SELECT 1 /* :A */ FROM T", false},
                    MarkerCase{"SELECT 1 -- :A\r\nFROM T", false}, MarkerCase{"SELECT 1 -- x\nFROM T WHERE A=:A", true},
                    MarkerCase{"SELECT 'it''s :no' FROM T", false}, MarkerCase{":", false}, MarkerCase{"", false},
                    MarkerCase{"SELECT 'open :A", false}));

TEST(MarkerTest, RunStatementsOfTheRestoration) {
  EXPECT_FALSE(HasParamMarkers(kCountText));
  EXPECT_FALSE(HasParamMarkers(kListText));
  EXPECT_TRUE(HasParamMarkers(kUpdateText));
}

// ---- scan ----

struct ScanCase {
  const char* text;
  std::vector<std::string> names;
};

class ScanNamesTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanNamesTest, FindsParametersInTextOrder) {
  const TParamScanResult result = ScanParams(GetParam().text, ClassifySql(GetParam().text));
  EXPECT_EQ(result.Error, TParamScanError::None);
  EXPECT_EQ(Names(result), GetParam().names) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ScanNamesTest,
    testing::Values(
        ScanCase{"UPDATE T SET A=:a WHERE ID=:Id", {"A", "ID"}}, ScanCase{"SELECT ':X' FROM T WHERE A=:A", {"A"}},
        ScanCase{"SELECT 'it''s :X' FROM T WHERE A=:A", {"A"}}, ScanCase{"SELECT \"col:X\" FROM T WHERE A=:A", {"A"}},
        ScanCase{"SELECT 1 /* :X */ FROM T WHERE A=:A", {"A"}}, ScanCase{"SELECT 1 -- :X\r\nFROM T WHERE A=:A", {"A"}},
        ScanCase{"SELECT 1 -- :X\nFROM T WHERE A=:A", {"A"}},
        ScanCase{"SELECT * FROM T WHERE A=:\"MixedCase\"", {"MixedCase"}},
        ScanCase{"SELECT * FROM T WHERE A=:A OR B=:A", {"A", "A"}},
        ScanCase{"SELECT * FROM T WHERE A=:$x#1%.y", {"$X#1%.Y"}},
        ScanCase{"SELECT * FROM T WHERE A=:ab\xC0\xC1", {"AB"}}, ScanCase{"SELECT * FROM T WHERE A=:A", {"A"}},
        ScanCase{"SELECT @MACRO FROM T", {}}, ScanCase{"CREATE PROCEDURE P AS BEGIN X = :Y; END", {}},
        ScanCase{"EXECUTE BLOCK (P INT = :P) RETURNS (HAS INT) AS DECLARE V INT; BEGIN V = :P; END", {"P"}},
        ScanCase{"EXECUTE PROCEDURE P(:A, :B)", {"A", "B"}}));

TEST(ScanTest, UpdateStatementOfTheRun) {
  const TParamScanResult result = ScanParams(kUpdateText, ClassifySql(kUpdateText), {.Generate = true});
  ASSERT_EQ(result.Error, TParamScanError::None);
  ASSERT_EQ(Names(result), (std::vector<std::string>{"DATA_TIME_SEND", "ID"}));
  EXPECT_FALSE(result.Params[0].InWhere);
  EXPECT_TRUE(result.Params[1].InWhere);
  EXPECT_TRUE(result.Params[1].NotFollowedByOperator);
  EXPECT_EQ(result.Params[1].StartPos, static_cast<int>(kUpdateText.find(":ID\r")) + 1);
  EXPECT_EQ(result.Params[1].EndPos, result.Params[1].StartPos + 2);
  EXPECT_EQ(result.Processed.size(), kUpdateText.size());
  EXPECT_EQ(result.Processed,
            "UPDATE TBL_ZAKAZ_TOVARS SET \r\n   DATA_TIME_SEND=?              \r\nWHERE\r\n    ID=?  \r\n");
}

TEST(ScanTest, QuotedNameBecomesBlanksWithItsQuotes) {
  const std::string text = "SELECT * FROM T WHERE A=:\"x y\"";
  const TParamScanResult result = ScanParams(text, TSqlKind::Select, {.Generate = true});
  ASSERT_EQ(result.Params.size(), 1u);
  EXPECT_EQ(result.Params[0].Name, "x y");
  EXPECT_TRUE(result.Params[0].Quoted);
  EXPECT_EQ(result.Params[0].EndPos, static_cast<int>(text.size()));
  EXPECT_EQ(result.Processed, "SELECT * FROM T WHERE A=?     ");
}

// ---- WHERE tracking and the operator test ----

struct FlagCase {
  const char* text;
  bool inWhere;
  bool notFollowedByOperator;
};

class FlagTest : public testing::TestWithParam<FlagCase> {};

TEST_P(FlagTest, FlagsOfTheFirstParameter) {
  const TParamScanResult result = ScanParams(GetParam().text, ClassifySql(GetParam().text));
  ASSERT_EQ(result.Error, TParamScanError::None);
  ASSERT_FALSE(result.Params.empty());
  EXPECT_EQ(result.Params[0].InWhere, GetParam().inWhere) << GetParam().text;
  EXPECT_EQ(result.Params[0].NotFollowedByOperator, GetParam().notFollowedByOperator) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FlagTest,
    testing::Values(FlagCase{"SELECT * FROM T WHERE A=:P", true, true},
                    FlagCase{"SELECT * FROM T WHERE A=:P + 1", true, false},
                    FlagCase{"SELECT * FROM T WHERE A=:P*2", true, false},
                    FlagCase{"SELECT * FROM T WHERE A=:P || 'x'", true, false},
                    FlagCase{"SELECT * FROM T WHERE A=:P - 1", true, false},
                    FlagCase{"SELECT * FROM T WHERE A=:P -- c", true, true},
                    FlagCase{"SELECT * FROM T WHERE A=:P / 2", true, false},
                    FlagCase{"SELECT * FROM T WHERE A=:P /* c */", true, true},
                    FlagCase{"SELECT * FROM T WHERE A=:P\r\n AND B=1", true, true},
                    FlagCase{"SELECT :P FROM T WHERE A=1", false, true},
                    FlagCase{"SELECT * FROM T WHERE A=1 ORDER BY :P", false, true},
                    FlagCase{"SELECT * FROM T WHERE A=1 GROUP BY B HAVING :P=1", false, true},
                    FlagCase{"SELECT * FROM (SELECT * FROM T WHERE A=1) X WHERE 1=1 AND (B=2) AND C=:P", true, true},
                    FlagCase{"SELECT * FROM (SELECT * FROM T WHERE A=1) X, U WHERE U.C=:P", true, true},
                    FlagCase{"SELECT * FROM (SELECT * FROM T WHERE A=1) X JOIN U ON U.C=:P", false, true},
                    FlagCase{"SELECT * FROM T WHERE A IN (SELECT B FROM U WHERE C=:P)", true, true},
                    FlagCase{"SELECT * FROM T WHEREVER A=:P", false, true},
                    FlagCase{"EXECUTE PROCEDURE P WHERE :P", false, true}));

// ---- failures ----

struct ErrorCase {
  const char* text;
  TParamScanError error;
};

class ScanErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ScanErrorTest, ReportsTheParseError) {
  const TParamScanResult result = ScanParams(GetParam().text, ClassifySql(GetParam().text), {.Generate = true});
  EXPECT_EQ(result.Error, GetParam().error) << GetParam().text;
  EXPECT_TRUE(result.Params.empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, ScanErrorTest,
                         testing::Values(ErrorCase{"SELECT 'abc FROM T WHERE A=:A", TParamScanError::EofInString},
                                         ErrorCase{"SELECT \"abc FROM T", TParamScanError::EofInString},
                                         ErrorCase{"SELECT 1 /* never closed :A", TParamScanError::EofInComment},
                                         ErrorCase{"SELECT * FROM T WHERE A=: ", TParamScanError::NameExpected},
                                         ErrorCase{"SELECT * FROM T WHERE A=:", TParamScanError::NameExpected},
                                         ErrorCase{"SELECT * FROM T WHERE A=?", TParamScanError::NameExpected},
                                         ErrorCase{"SELECT * FROM T WHERE A=:\xC0", TParamScanError::NameExpected},
                                         ErrorCase{"SELECT * FROM T WHERE A=:\"\"", TParamScanError::NameExpected},
                                         ErrorCase{"SELECT * FROM T WHERE A=:\"open", TParamScanError::EofInString}));

TEST(ScanErrorTest, EmptyNameWhileLoadingStopsQuietly) {
  const TParamScanResult result =
      ScanParams("SELECT * FROM T WHERE A=:B AND C=:", TSqlKind::Select, {.QuietOnEmptyName = true});
  EXPECT_EQ(result.Error, TParamScanError::None);
  EXPECT_TRUE(result.StoppedQuietly);
}

// ---- NULL rewriting ----

struct RewriteCase {
  const char* text;
  const char* expected;
};

class RewriteTest : public testing::TestWithParam<RewriteCase> {};

TEST_P(RewriteTest, NullComparisonsBecomeIsNull) {
  const std::string text = GetParam().text;
  const TParamScanResult scan = ScanParams(text, ClassifySql(text));
  ASSERT_EQ(scan.Error, TParamScanError::None);
  std::vector<bool> rewritten;
  const std::string out =
      RewriteNullComparisons(text, scan.Params, std::vector<bool>(scan.Params.size(), true), rewritten);
  EXPECT_EQ(out, GetParam().expected);
  EXPECT_EQ(out != text, std::find(rewritten.begin(), rewritten.end(), true) != rewritten.end());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RewriteTest,
    testing::Values(RewriteCase{"SELECT * FROM T WHERE A=:P", "SELECT * FROM T WHERE A IS NULL "},
                    RewriteCase{"SELECT * FROM T WHERE A = :P AND B=1", "SELECT * FROM T WHERE A  IS NULL  AND B=1"},
                    RewriteCase{"SELECT * FROM T WHERE A<>:P", "SELECT * FROM T WHERE A IS NOT NULL "},
                    RewriteCase{"SELECT * FROM T WHERE A!=:P", "SELECT * FROM T WHERE A IS NOT NULL "},
                    RewriteCase{"SELECT * FROM T WHERE A^= :P", "SELECT * FROM T WHERE A IS NOT NULL "},
                    RewriteCase{"SELECT * FROM T WHERE A~=:P", "SELECT * FROM T WHERE A IS NOT NULL "},
                    RewriteCase{"SELECT * FROM T WHERE A<=:P", "SELECT * FROM T WHERE A<=:P"},
                    RewriteCase{"SELECT * FROM T WHERE A>=:P", "SELECT * FROM T WHERE A>=:P"},
                    RewriteCase{"SELECT * FROM T WHERE A=:P+1", "SELECT * FROM T WHERE A=:P+1"},
                    RewriteCase{"UPDATE T SET A=:P", "UPDATE T SET A=:P"},
                    RewriteCase{"SELECT * FROM T WHERE A -- x=\n :P", "SELECT * FROM T WHERE A -- x=\n :P"},
                    RewriteCase{"SELECT * FROM T WHERE A = /* c */ :P", "SELECT * FROM T WHERE A = /* c */ :P"},
                    RewriteCase{"SELECT * FROM T WHERE A = 'x=' :P", "SELECT * FROM T WHERE A = 'x=' :P"},
                    RewriteCase{"SELECT * FROM T WHERE A=:P OR B<>:Q",
                                "SELECT * FROM T WHERE A IS NULL  OR B IS NOT NULL "}));

TEST(RewriteTest, OnlyNullParametersAreRewritten) {
  const std::string text = "SELECT * FROM T WHERE A=:P AND B=:Q";
  const TParamScanResult scan = ScanParams(text, TSqlKind::Select);
  std::vector<bool> rewritten;
  EXPECT_EQ(RewriteNullComparisons(text, scan.Params, {false, true}, rewritten),
            "SELECT * FROM T WHERE A=:P AND B IS NULL ");
  EXPECT_EQ(rewritten, (std::vector<bool>{false, true}));
}

} // namespace
} // namespace od
