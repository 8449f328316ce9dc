// The descriptor areas without a server: the ISC date-time arithmetic, the
// areas' growth, names and buffers, and column naming.
#include "db/XSQLDA.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "db/FbErrors.h"
#include "db/ibase_api.h"
#include "tests/db/support/MessageOf.h"
#include "text/DateTime.h"

namespace od {
namespace {

// ---- date-time arithmetic ----

struct StampCase {
  const char* name;
  TDateTime value;
  std::int32_t date;
  std::uint32_t time;
};

class IscTimestampTest : public testing::TestWithParam<StampCase> {};

TEST_P(IscTimestampTest, LayersOwnArithmetic) {
  const TIscTimestamp stamp = DateTimeToIscTimestamp(GetParam().value);
  EXPECT_EQ(stamp.Date, GetParam().date);
  EXPECT_EQ(stamp.Time, GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IscTimestampTest,
    testing::Values(StampCase{"Noon_of_day_zero", 0.5, 15018, 432'000'000},
                    StampCase{"Example_2024_03_05", EncodeDateTime(2024, 3, 5, 14, 30, 15, 250), 60374, 522'152'500},
                    StampCase{"Almost_midnight_rounds_to_next_day", 45356.0 + 86'399'999.6 / 86'400'000.0, 60375, 0},
                    StampCase{"Before_day_zero_time_forward", -1.25, 15017, 216'000'000},
                    StampCase{"Day_zero", 0.0, 15018, 0}, StampCase{"Year_one", EncodeDate(1, 1, 1), 15018 - 693593, 0},
                    StampCase{"Year_9999_last_ms", EncodeDateTime(9999, 12, 31, 23, 59, 59, 999), 2973483,
                              863'999'990}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IscTimestampTest, DecodesWhatItEncodes) {
  for (TDateTime value : {0.5, -1.25, 45356.6043431713, -693593.0, 2958465.999988426}) {
    const TIscTimestamp stamp = DateTimeToIscTimestamp(value);
    EXPECT_EQ(FormatIsoDateTime(IscTimestampToDateTime(stamp.Date, stamp.Time)), FormatIsoDateTime(value));
  }
}

// ---- areas without a statement ----

TEST(XSQLDAAreaTest, ResizeGrowsAndKeepsEntries) {
  TFbXSQLDA area(nullptr, true);
  EXPECT_EQ(area.Descriptor(), nullptr);
  area.Resize(1);
  TFbXSQLVAR* first = &area.At(0);
  area.Resize(3);
  EXPECT_EQ(area.Count(), 3);
  EXPECT_EQ(area.Capacity(), 3);
  EXPECT_EQ(&area.At(0), first);
  area.Resize(2);
  EXPECT_EQ(area.Capacity(), 3);
  EXPECT_EQ(area.Count(), 2);
  try {
    area.At(2);
    FAIL();
  } catch (const EFbClientError& e) {
    EXPECT_STREQ(e.what(), "XSQLDA index out of range.");
  }
}

TEST(XSQLDAAreaTest, EqualNamesShareEveryValue) {
  TFbXSQLDA area(nullptr, true);
  area.Resize(3);
  for (int i = 0; i < 3; ++i) area.At(i).MakeUnset();
  area.RegisterName("p", 0, false);
  area.RegisterName("Q", 1, false);
  area.RegisterName("P", 2, false);
  EXPECT_EQ(area.At(0).Name(), "P");
  EXPECT_EQ(area.EqualNameIndices("P"), (std::vector<int>{0, 2}));
  ASSERT_NE(area.FindByName("p"), nullptr);
  area.FindByName("p")->SetAsInteger(42);
  EXPECT_EQ(area.At(0).AsInteger(), 42);
  EXPECT_EQ(area.At(2).AsInteger(), 42);
  EXPECT_TRUE(area.At(1).IsNull());
  area.At(2).SetIsNull(true);
  EXPECT_TRUE(area.At(0).IsNull());
  EXPECT_EQ(area.FindByName("nothing"), nullptr);
}

TEST(XSQLDAAreaTest, RawValueKeepsTheBufferForTheSameSize) {
  TFbXSQLDA area(nullptr, true);
  area.Resize(1);
  TFbXSQLVAR& v = area.At(0);
  v.MakeUnset();
  EXPECT_TRUE(v.IsNull());
  v.SetAsInteger(7);
  EXPECT_EQ(v.DataType(), kSqlLong);
  EXPECT_EQ(v.SqlLen(), 4);
  const char* buffer = v.Data();
  v.SetAsInteger(-8);
  EXPECT_EQ(v.Data(), buffer);
  EXPECT_EQ(v.AsInteger(), -8);
  v.SetAsDateTime(0.5);
  EXPECT_EQ(v.DataType(), kSqlTimestamp);
  EXPECT_EQ(v.SqlLen(), 8);
  std::int32_t date;
  std::uint32_t time;
  std::memcpy(&date, v.Data(), 4);
  std::memcpy(&time, v.Data() + 4, 4);
  EXPECT_EQ(date, 15018);
  EXPECT_EQ(time, 432'000'000u);
  v.SetIsNull(true);
  EXPECT_TRUE(v.IsNull());
  EXPECT_TRUE(v.IsNullable());
  EXPECT_EQ(v.AsInteger(), 0);
  EXPECT_EQ(v.AsString(), "");
}

TEST(XSQLDAAreaTest, NonFiniteDateTimeIsRefusedAndTheValueStays) {
  TFbXSQLDA area(nullptr, true);
  area.Resize(1);
  TFbXSQLVAR& v = area.At(0);
  v.SetAsDateTime(0.5);
  for (TDateTime bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(test::MessageOf([&] { v.SetAsDateTime(bad); }), "Invalid data conversion.") << bad;
    EXPECT_EQ(v.DataType(), kSqlTimestamp);
    EXPECT_EQ(FormatIsoDateTime(v.AsDateTime()), "1899-12-30 12:00:00.000");
  }
}

// The server names every column itself; what it might leave empty or
// repeat is described here by hand.
TEST(XSQLDAAreaTest, ColumnNamingNumbersAndSuffixes) {
  TFbXSQLDA area(nullptr, false);
  area.Resize(5);
  XSQLDA* da = static_cast<XSQLDA*>(area.Descriptor());
  const std::string longName(31, 'N');
  const char* aliases[] = {"", "A", "A", "", longName.c_str()};
  for (int i = 0; i < 5; ++i) {
    XSQLVAR& v = da->sqlvar[i];
    v.sqltype = SQL_LONG + 1;
    v.sqllen = 4;
    v.aliasname_length = static_cast<short>(std::strlen(aliases[i]));
    std::memcpy(v.aliasname, aliases[i], std::strlen(aliases[i]));
  }
  area.InitialiseAfterDescribe();
  EXPECT_EQ(area.At(0).Name(), "F_1");
  EXPECT_EQ(area.At(1).Name(), "A");
  EXPECT_EQ(area.At(2).Name(), "A1");
  EXPECT_EQ(area.At(3).Name(), "F_2");
  EXPECT_EQ(area.At(4).Name(), longName);
  EXPECT_EQ(std::string(da->sqlvar[2].aliasname, da->sqlvar[2].aliasname_length), "A1");
  EXPECT_TRUE(area.At(0).IsNullable());
  EXPECT_EQ(area.At(0).DataSize(), 4u);

  // A 32-byte name twice: the second is cut so that name and suffix fit the 32 bytes.
  const std::string fullName(32, 'M');
  area.Resize(5);
  for (int i : {3, 4}) {
    da->sqlvar[i].aliasname_length = 32;
    std::memcpy(da->sqlvar[i].aliasname, fullName.data(), 32);
  }
  area.InitialiseAfterDescribe();
  EXPECT_EQ(area.At(3).Name(), fullName);
  EXPECT_EQ(area.At(4).Name(), fullName.substr(0, 31) + "1");
  EXPECT_EQ(da->sqlvar[4].aliasname_length, 32);
}

TEST(XSQLDAAreaTest, UnknownDescribedTypeIsRefused) {
  TFbXSQLDA area(nullptr, false);
  area.Resize(1);
  XSQLVAR& v = static_cast<XSQLDA*>(area.Descriptor())->sqlvar[0];
  v.sqltype = 600;
  v.sqllen = 4;
  try {
    area.InitialiseAfterDescribe();
    FAIL();
  } catch (const EFbClientError& e) {
    EXPECT_STREQ(e.what(), "Unknown SQL Data type (600).");
  }
}

} // namespace
} // namespace od
