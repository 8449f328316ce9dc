#include "db/ParamBlocks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/FbErrors.h"
#include "text/DateTime.h"

namespace od {
namespace {

TStringList Lines(std::initializer_list<std::string> lines) {
  TStringList list;
  for (const auto& line : lines) list.Add(line);
  return list;
}

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

std::string WithText(std::initializer_list<int> head, std::string_view text, std::initializer_list<int> tail = {}) {
  return Bytes(head) + std::string(text) + Bytes(tail);
}

// --- blocks that must come out byte for byte ------------------------------

struct TBlockCase {
  const char* title;
  std::vector<std::string> lines;
  std::string block;
};

class DpbBlock : public ::testing::TestWithParam<TBlockCase> {};

TEST_P(DpbBlock, EncodesLines) {
  TStringList lines;
  for (const auto& line : GetParam().lines) lines.Add(line);
  EXPECT_EQ(BuildDPB(lines), GetParam().block);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DpbBlock,
    ::testing::Values(
        TBlockCase{"ProgramConnection",
                   {"user_name=SYSDBA", "password=quillstem", "lc_ctype=WIN1251"},
                   Bytes({1, 28, 6}) + "SYSDBA" + Bytes({29, 9}) + "quillstem" + Bytes({48, 7}) + "WIN1251"},
        TBlockCase{"CapitalsAndPrefixName", {"ISC_DPB_USER_NAME=SYSDBA"}, WithText({1, 28, 6}, "SYSDBA")},
        TBlockCase{"CapitalName", {"User_Name=SYSDBA"}, WithText({1, 28, 6}, "SYSDBA")},
        TBlockCase{"NoEqualsIsEmptyValue", {"password"}, Bytes({1, 29, 0})},
        TBlockCase{"EmptyValue", {"sql_role_name="}, Bytes({1, 60, 0})},
        TBlockCase{"ValueKeepsInnerEquals", {"password=a=b"}, WithText({1, 29, 3}, "a=b")},
        TBlockCase{"TrimmedLine", {"  \t lc_ctype=UTF8 \r"}, WithText({1, 48, 4}, "UTF8")},
        TBlockCase{"BlankLinesSkipped", {"", "   ", "lc_ctype=NONE", "\t"}, WithText({1, 48, 4}, "NONE")},
        TBlockCase{"NoLines", {}, Bytes({1})}, TBlockCase{"SqlDialect", {"sql_dialect=3"}, Bytes({1, 63, 1, 3})},
        TBlockCase{"SqlDialectKeepsTail", {"sql_dialect=31"}, Bytes({1, 63, 2, 3, '1'})},
        TBlockCase{"ByteNumber", {"num_buffers=75"}, Bytes({1, 5, 1, 75})},
        TBlockCase{"ByteNumberLow8Bits", {"num_buffers=300"}, Bytes({1, 5, 1, 44})},
        TBlockCase{"ByteNumberNegative", {"connect_timeout=-1"}, Bytes({1, 57, 1, 255})},
        TBlockCase{"ByteNumberLeadingBlank", {"force_write= 1"}, Bytes({1, 24, 1, 1})},
        TBlockCase{"SwitchIgnoresValue", {"garbage_collect=whatever"}, Bytes({1, 8, 1, 0})},
        TBlockCase{"Sweep", {"sweep"}, Bytes({1, 10, 1, 2})},
        TBlockCase{"SweepInterval", {"sweep_interval=20000"}, Bytes({1, 22, 4, 0x20, 0x4E, 0, 0})},
        TBlockCase{"SweepIntervalNegative", {"sweep_interval=-2"}, Bytes({1, 22, 4, 0xFE, 0xFF, 0xFF, 0xFF})},
        TBlockCase{"InstanceName", {"instance_name=ib"}, WithText({1, 75, 2}, "ib")},
        TBlockCase{"LongestValue", {"password=" + std::string(255, 'p')}, Bytes({1, 29, 255}) + std::string(255, 'p')},
        TBlockCase{"Win1251Bytes", {"user_name=\xC8\xE2\xE0\xED"}, WithText({1, 28, 4}, "\xC8\xE2\xE0\xED")}),
    [](const auto& info) { return std::string(info.param.title); });

class TpbBlock : public ::testing::TestWithParam<TBlockCase> {};

TEST_P(TpbBlock, EncodesLines) {
  TStringList lines;
  for (const auto& line : GetParam().lines) lines.Add(line);
  EXPECT_EQ(BuildTPB(lines), GetParam().block);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TpbBlock,
    ::testing::Values(TBlockCase{"ProgramTransaction",
                                 {"write", "isc_tpb_nowait", "read_committed", "rec_version"},
                                 Bytes({3, 9, 7, 15, 17})},
                      TBlockCase{"RepeatableRead", {"write", "isc_tpb_nowait", "concurrency"}, Bytes({3, 9, 7, 2})},
                      TBlockCase{"NoLines", {}, ""}, TBlockCase{"OnlyBlankLines", {"", "  "}, Bytes({3})},
                      TBlockCase{"BlankLinesSkipped", {"", "read", " ", "wait"}, Bytes({3, 8, 6})},
                      TBlockCase{"ValueIgnored", {"write=no"}, Bytes({3, 9})},
                      TBlockCase{"Capitals", {"ISC_TPB_READ_COMMITTED", "Rec_Version"}, Bytes({3, 15, 17})},
                      TBlockCase{"LockRead", {"lock_read=ORDERS"}, WithText({3, 10, 6}, "ORDERS")},
                      TBlockCase{"LockWriteEmpty", {"lock_write"}, Bytes({3, 11, 0})},
                      TBlockCase{"NoSavepoint", {"no_savepoint"}, Bytes({3, 21})}),
    [](const auto& info) { return std::string(info.param.title); });

TEST(ParamBlocks, TrimmedLinesAreWrittenBack) {
  TStringList lines = Lines({"  user_name=SYSDBA  ", "\t", " lc_ctype=WIN1251\r"});
  BuildDPB(lines);
  EXPECT_EQ(lines.Get(0), "user_name=SYSDBA");
  EXPECT_EQ(lines.Get(1), "");
  EXPECT_EQ(lines.Get(2), "lc_ctype=WIN1251");
}

TEST(ParamBlocks, LinesBeforeAFailureStayTrimmed) {
  TStringList lines = Lines({" write ", " bogus ", " read "});
  EXPECT_THROW(BuildTPB(lines), EFbClientError);
  EXPECT_EQ(lines.Get(0), "write");
  EXPECT_EQ(lines.Get(1), "bogus");
  EXPECT_EQ(lines.Get(2), " read ");
}

TEST(ParamBlocks, NameTablesMatchTheClientConstants) {
  EXPECT_EQ(DpbCode("user_name"), 28);
  EXPECT_EQ(DpbCode("ISC_DPB_LC_CTYPE"), 48);
  EXPECT_EQ(DpbCode("force"), 83);
  EXPECT_EQ(DpbCode("cdd_pathname"), 1);
  EXPECT_EQ(DpbCode("nonsense"), 0);
  EXPECT_EQ(DpbName(63), "sql_dialect");
  EXPECT_EQ(DpbName(84), "");
  EXPECT_EQ(TpbCode("rec_version"), 17);
  EXPECT_EQ(TpbCode("isc_tpb_no_savepoint"), 21);
  EXPECT_EQ(TpbName(1), "consistency");
  EXPECT_EQ(TpbName(0), "");
  for (int code = 1; code <= 83; ++code) EXPECT_EQ(DpbCode(DpbName(code)), code) << code;
  for (int code = 1; code <= 21; ++code) EXPECT_EQ(TpbCode(TpbName(code)), code) << code;
}

// --- every refusal -----------------------------------------------------------

enum class TBuilder { Dpb, Tpb };

struct TErrorCase {
  const char* title;
  TBuilder builder;
  std::string line;
  int sqlCode; // -2: conversion error
  std::string message;
};

class ParamBlockError : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(ParamBlockError, IsRefused) {
  const TErrorCase& c = GetParam();
  TStringList lines = Lines({c.line});
  try {
    if (c.builder == TBuilder::Dpb)
      BuildDPB(lines);
    else
      BuildTPB(lines);
    FAIL() << "no exception";
  } catch (const EFbClientError& error) {
    EXPECT_EQ(error.SQLCode(), c.sqlCode);
    EXPECT_EQ(error.Message(), c.message);
  } catch (const EConvertError& error) {
    EXPECT_EQ(c.sqlCode, -2);
    EXPECT_EQ(error.Message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParamBlockError,
    ::testing::Values(
        TErrorCase{"DpbUnknown", TBuilder::Dpb, "colour=blue", 9, "DPB Constant (colour) is unknown."},
        TErrorCase{"DpbUnknownShownAsLookedUp", TBuilder::Dpb, "ISC_DPB_Colour=blue", 9,
                   "DPB Constant (colour) is unknown."},
        TErrorCase{"DpbBlankBeforeEquals", TBuilder::Dpb, "user_name =SYSDBA", 9,
                   "DPB Constant (user_name ) is unknown."},
        TErrorCase{"DpbUnsupported", TBuilder::Dpb, "page_size=4096", 8,
                   "DPB Constant (isc_dpb_page_size) is unsupported."},
        TErrorCase{"DpbUnsupportedFirst", TBuilder::Dpb, "cdd_pathname=x", 8,
                   "DPB Constant (isc_dpb_cdd_pathname) is unsupported."},
        TErrorCase{"DpbUnsupportedLast", TBuilder::Dpb, "FORCE", 8, "DPB Constant (isc_dpb_force) is unsupported."},
        TErrorCase{"DpbByteNumberNotInteger", TBuilder::Dpb, "num_buffers=many", -2,
                   "'many' is not a valid integer value"},
        TErrorCase{"DpbByteNumberEmpty", TBuilder::Dpb, "num_buffers", -2, "'' is not a valid integer value"},
        TErrorCase{"DpbByteNumberTrailingBlank", TBuilder::Dpb, "verify=1 x", -2, "'1 x' is not a valid integer value"},
        TErrorCase{"DpbByteNumberOverflow", TBuilder::Dpb, "num_buffers=99999999999", -2,
                   "'99999999999' is not a valid integer value"},
        TErrorCase{"DpbSweepIntervalNotInteger", TBuilder::Dpb, "sweep_interval=0x10", -2,
                   "'0x10' is not a valid integer value"},
        TErrorCase{"DpbSqlDialectLetter", TBuilder::Dpb, "sql_dialect=x", -2, "'x' is not a valid integer value"},
        TErrorCase{"DpbSqlDialectEmpty", TBuilder::Dpb, "sql_dialect=", -2, "'' is not a valid integer value"},
        TErrorCase{"DpbValueTooLong", TBuilder::Dpb, "password=" + std::string(256, 'p'), -1,
                   "Value of password is too long (256 bytes, at most 255)."},
        TErrorCase{"TpbUnknown", TBuilder::Tpb, "snapshot", 11, "TPB Constant (snapshot) is unknown."},
        TErrorCase{"TpbUnknownPrefixDropped", TBuilder::Tpb, "isc_tpb_Snapshot", 11,
                   "TPB Constant (snapshot) is unknown."},
        TErrorCase{"TpbVerbTime", TBuilder::Tpb, "verb_time", 10, "TPB Constant (isc_tpb_verb_time) is unsupported."},
        TErrorCase{"TpbCommitTime", TBuilder::Tpb, "commit_time", 10,
                   "TPB Constant (isc_tpb_commit_time) is unsupported."},
        TErrorCase{"TpbAutocommit", TBuilder::Tpb, "ISC_TPB_AUTOCOMMIT", 10,
                   "TPB Constant (isc_tpb_autocommit) is unsupported."},
        TErrorCase{"TpbRestartRequests", TBuilder::Tpb, "restart_requests", 10,
                   "TPB Constant (isc_tpb_restart_requests) is unsupported."},
        TErrorCase{"TpbTableNameTooLong", TBuilder::Tpb, "lock_read=" + std::string(300, 'T'), -1,
                   "Value of lock_read is too long (300 bytes, at most 255)."}),
    [](const auto& info) { return std::string(info.param.title); });

TEST(ParamBlocks, OversizedDpbIsRefused) {
  TStringList lines;
  for (int i = 0; i < 200; ++i) lines.Add("password=" + std::string(255, 'p'));
  try {
    BuildDPB(lines);
    FAIL() << "no exception";
  } catch (const EFbClientError& error) {
    EXPECT_EQ(error.Message(), "DPB is too long (51401 bytes, at most 32767).");
  }
}

TEST(ParamList, GuardRefusesChangesAndChangesAreTracked) {
  bool locked = false;
  TFbParamList list([&] {
    if (locked) RaiseClientError(fbceDatabaseOpen);
  });
  EXPECT_TRUE(list.Changed());
  list.Add("user_name=SYSDBA");
  list.ClearChanged();
  EXPECT_FALSE(list.Changed());
  locked = true;
  EXPECT_THROW(list.Add("x"), EFbClientError);
  EXPECT_THROW(list.Put(0, "x"), EFbClientError);
  EXPECT_THROW(list.Clear(), EFbClientError);
  EXPECT_FALSE(list.Changed());
  EXPECT_EQ(list.Count(), 1);
  locked = false;
  list.Put(0, "user_name=OTHER");
  EXPECT_TRUE(list.Changed());
  EXPECT_EQ(list.Value("USER_NAME"), "OTHER");
  EXPECT_EQ(list.Value("password"), "");
}

} // namespace
} // namespace od
