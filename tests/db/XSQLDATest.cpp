// Parameter and column values: the ISC date-time arithmetic, the areas'
// names and buffers, and every conversion read from real columns of every
// type on the embedded engine.
#include "db/XSQLDA.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/FbErrors.h"
#include "db/ibase_api.h"
#include "tests/db/QueryFixture.h"

namespace od {
namespace {

using test::TConnectedForm;
using test::TestDatabase;

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

// ---- conversions from real columns ----

class ColumnValueTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    file_ = new TestDatabase("values");
    file_->Execute(test::kGoodsTable);
    file_->Execute(
        "INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND, C_SMALL, C_BIG, C_NUM9, C_NUM18,"
        " C_DOUBLE, C_FLOAT, C_CHAR, C_VARCHAR, C_CYR, C_DATE, C_TIME, C_BLOB, C_BOOL) VALUES (1, 1234,"
        " '2024-03-05 14:30:15.250', -12, 5, 12.99, 12.5, 1.25, 0.5, '12', 'abc', '\xCF\xF0\xE8\xE2\xE5\xF2',"
        " '2024-03-05', '14:30:15', 'BLOB text \xC4\xE0', TRUE)");
    file_->Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, C_BIG, C_NUM9, C_NUM18, C_DATE, C_BOOL, C_CHAR)"
                   " VALUES (2, -7, 4294967301, -12.99, -0.05, '2024-03-05', FALSE, '$1F')");
    file_->Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID) VALUES (3)");
  }
  static void TearDownTestSuite() {
    delete file_;
    file_ = nullptr;
  }
  void SetUp() override {
    test::UseRussianFormats();
    form_ = std::make_unique<TConnectedForm>(*file_);
    form_->OpenAndStart();
  }

  // The column of the row with that ID.
  TFbXSQLVAR& Column(int id, const char* column, TFbQueryOptions options = 0) {
    query_ = &form_->AddQuery("Q");
    query_->SetOptions(options);
    query_->SQL().SetText(std::string("SELECT ") + column + " FROM TBL_ZAKAZ_TOVARS WHERE ID = " + std::to_string(id));
    query_->ExecQuery();
    return query_->ColumnAt(0);
  }

  static TestDatabase* file_;
  std::unique_ptr<TConnectedForm> form_;
  TFbQuery* query_ = nullptr;
};

TestDatabase* ColumnValueTest::file_ = nullptr;

struct TextCase {
  int id;
  const char* column;
  const char* text;
};

class ColumnTextTest : public ColumnValueTest, public testing::WithParamInterface<TextCase> {};

TEST_P(ColumnTextTest, ReadsAsText) {
  EXPECT_EQ(Column(GetParam().id, GetParam().column).AsString(), GetParam().text)
      << GetParam().column << " of " << GetParam().id;
}

INSTANTIATE_TEST_SUITE_P(
    Columns, ColumnTextTest,
    testing::Values(TextCase{1, "ZAKAZ_ID", "1234"}, TextCase{2, "ZAKAZ_ID", "-7"}, TextCase{1, "C_SMALL", "-12"},
                    TextCase{1, "C_BIG", "5"}, TextCase{2, "C_BIG", "4294967301"}, TextCase{1, "C_NUM9", "12,99"},
                    TextCase{2, "C_NUM9", "-12,99"}, TextCase{1, "C_NUM18", "12,50"}, TextCase{2, "C_NUM18", "-0,05"},
                    TextCase{1, "C_DOUBLE", "1,25"}, TextCase{1, "C_FLOAT", "0,5"}, TextCase{1, "C_CHAR", "12    "},
                    TextCase{1, "C_VARCHAR", "abc"}, TextCase{1, "C_CYR", "\xCF\xF0\xE8\xE2\xE5\xF2"},
                    TextCase{1, "DATA_TIME_SEND", "05.03.2024 14:30:15"}, TextCase{1, "C_DATE", "05.03.2024"},
                    TextCase{1, "C_TIME", "14:30:15"}, TextCase{1, "CAST(C_DATE AS TIMESTAMP)", "05.03.2024"},
                    TextCase{1, "C_BLOB", "BLOB text \xC4\xE0"}, TextCase{1, "C_BOOL", "True"},
                    TextCase{2, "C_BOOL", "False"}, TextCase{3, "ZAKAZ_ID", ""}, TextCase{3, "C_BLOB", ""},
                    TextCase{3, "C_NUM18", ""}, TextCase{1, "CAST(NULL AS INTEGER)", ""}, TextCase{1, "1e20", "1E20"},
                    TextCase{1, "CAST(0.000001 AS DOUBLE PRECISION)", "1E-6"}));

struct IntegerCase {
  int id;
  const char* column;
  std::int32_t value;
};

class ColumnIntegerTest : public ColumnValueTest, public testing::WithParamInterface<IntegerCase> {};

TEST_P(ColumnIntegerTest, ReadsAsInteger) {
  EXPECT_EQ(Column(GetParam().id, GetParam().column).AsInteger(), GetParam().value)
      << GetParam().column << " of " << GetParam().id;
}

INSTANTIATE_TEST_SUITE_P(
    Columns, ColumnIntegerTest,
    testing::Values(IntegerCase{1, "ZAKAZ_ID", 1234}, IntegerCase{1, "ID", 1}, IntegerCase{1, "C_SMALL", -12},
                    IntegerCase{1, "C_BIG", 5}, IntegerCase{2, "C_BIG", 5}, IntegerCase{1, "C_NUM9", 12},
                    IntegerCase{2, "C_NUM9", -12}, IntegerCase{1, "C_NUM18", 12}, IntegerCase{2, "C_NUM18", 0},
                    IntegerCase{1, "C_DOUBLE", 1}, IntegerCase{1, "C_FLOAT", 0}, IntegerCase{2, "TRIM(C_CHAR)", 31},
                    IntegerCase{1, "C_BOOL", 1}, IntegerCase{2, "C_BOOL", 0}, IntegerCase{3, "ZAKAZ_ID", 0},
                    IntegerCase{3, "C_CHAR", 0}, IntegerCase{1, "CAST(13.00 AS NUMERIC(9,2))", 13},
                    IntegerCase{1, "' -42'", -42}, IntegerCase{1, "'0x10'", 16}, IntegerCase{1, "'x10'", 16},
                    IntegerCase{1, "'2147483647'", 2147483647}));

TEST_F(ColumnValueTest, TextThatIsNotAnIntegerIsAnInvalidConversion) {
  for (const char* column : {"C_CHAR", "C_VARCHAR", "''", "'12x'", "'2147483648'", "'1 '", "'$'"}) {
    try {
      Column(1, column).AsInteger();
      ADD_FAILURE() << column;
    } catch (const EFbClientError& e) {
      EXPECT_STREQ(e.what(), "Invalid data conversion.") << column;
      EXPECT_EQ(e.SQLCode(), 33);
    }
  }
}

TEST_F(ColumnValueTest, TrimCharFieldsMakesCharReadable) {
  EXPECT_EQ(Column(1, "C_CHAR", qoTrimCharFields).AsString(), "12");
  EXPECT_EQ(Column(1, "C_CHAR", qoTrimCharFields).AsInteger(), 12);
}

TEST_F(ColumnValueTest, BeforeTheFirstFetchEveryColumnIsNull) {
  TFbQuery& q = form_->AddQuery("Q", {"SELECT ZAKAZ_ID, C_NUM18, C_CHAR FROM TBL_ZAKAZ_TOVARS WHERE ID = 1"});
  q.SetGoToFirstRecordOnExecute(false);
  q.ExecQuery();
  EXPECT_FALSE(q.AtEnd());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(q.ColumnAt(i).IsNull());
    EXPECT_EQ(q.ColumnAt(i).AsInteger(), 0);
    EXPECT_EQ(q.ColumnAt(i).AsString(), "");
  }
  ASSERT_NE(q.FetchNext(), nullptr);
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 1234);
}

TEST_F(ColumnValueTest, DateTimeAndFloatingGetters) {
  EXPECT_EQ(FormatIsoDateTime(Column(1, "DATA_TIME_SEND").AsDateTime()), "2024-03-05 14:30:15.250");
  EXPECT_EQ(FormatIsoDateTime(Column(1, "C_DATE").AsDateTime()), "2024-03-05 00:00:00.000");
  EXPECT_EQ(FormatIsoDateTime(Column(1, "C_TIME").AsDateTime()), "1899-12-30 14:30:15.000");
  EXPECT_DOUBLE_EQ(Column(1, "C_NUM18").AsDouble(), 12.5);
  EXPECT_DOUBLE_EQ(Column(2, "C_NUM9").AsDouble(), -12.99);
  EXPECT_EQ(Column(2, "C_BIG").AsInt64(), 4294967301LL);
  EXPECT_TRUE(Column(1, "C_BOOL").AsBoolean());
}

TEST_F(ColumnValueTest, ColumnsAreNamedUniquely) {
  TFbQuery& q =
      form_->AddQuery("Q", {"SELECT ID, ID, 1 + 1, ZAKAZ_ID AS \"id\", 2 FROM TBL_ZAKAZ_TOVARS WHERE ID = 1"});
  q.ExecQuery();
  ASSERT_EQ(q.ColumnCount(), 5);
  EXPECT_EQ(q.ColumnAt(0).Name(), "ID");
  EXPECT_EQ(q.ColumnAt(1).Name(), "ID1");
  EXPECT_EQ(q.ColumnAt(2).Name(), "ADD");
  EXPECT_EQ(q.ColumnAt(3).Name(), "id2");
  EXPECT_EQ(q.ColumnAt(4).Name(), "CONSTANT");
  EXPECT_EQ(&q.ColumnByName("id1"), &q.ColumnAt(1));
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

// ---- parameters through the server ----

TEST_F(ColumnValueTest, ParameterValuesOfEveryKindReachTheServer) {
  TFbQuery& q = form_->AddQuery("Q", {"SELECT CAST(:I AS INTEGER), CAST(:B AS BIGINT), CAST(:D AS DOUBLE PRECISION),"
                                      " CAST(:S AS VARCHAR(20)), CAST(:T AS TIMESTAMP), CAST(:L AS BOOLEAN),"
                                      " CAST(:N AS INTEGER) FROM RDB$DATABASE"});
  q.ParameterByName("I").SetAsInteger(-5);
  q.ParameterByName("B").SetAsInt64(4294967301LL);
  q.ParameterByName("D").SetAsDouble(2.5);
  q.ParameterByName("S").SetAsString("\xCF\xF0\xE8");
  q.ParameterByName("T").SetAsDateTime(EncodeDateTime(1858, 11, 17, 0, 0, 0, 1));
  q.ParameterByName("L").SetAsBoolean(true);
  q.ParameterByName("N").SetIsNull(true);
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), -5);
  EXPECT_EQ(q.ColumnAt(1).AsInt64(), 4294967301LL);
  EXPECT_EQ(q.ColumnAt(2).AsString(), "2,5");
  EXPECT_EQ(q.ColumnAt(3).AsString(), "\xCF\xF0\xE8");
  EXPECT_EQ(FormatIsoDateTime(q.ColumnAt(4).AsDateTime()), "1858-11-17 00:00:00.001");
  EXPECT_EQ(q.ColumnAt(5).AsString(), "True");
  EXPECT_TRUE(q.ColumnAt(6).IsNull());
}

TEST_F(ColumnValueTest, IntegerForATimestampParameterIsTheServersToConvert) {
  TFbQuery& q = form_->AddQuery("Q", {"UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND = :T WHERE ID = 3"});
  q.ParameterByName("T").SetAsInteger(5);
  EXPECT_EQ(q.ParameterByName("T").DataType(), kSqlLong);
  EXPECT_THROW(q.ExecQuery(), EFbServerError);
  form_->Tr().Rollback();
}

TEST_F(ColumnValueTest, AParameterUsedTwiceIsSetOnce) {
  TFbQuery& q = form_->AddQuery(
      "Q", {"SELECT COUNT(*) FROM TBL_ZAKAZ_TOVARS WHERE ID = :P OR ZAKAZ_ID = :P OR ZAKAZ_ID + 1234 = :p"});
  ASSERT_EQ(q.ParamCount(), 3);
  q.ParameterByName("P").SetAsInteger(2);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(q.Params().At(i).AsInteger(), 2);
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 1);
  q.ParameterByName("p").SetAsInteger(1234);
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 1);
  q.ParameterByName("P").SetAsInteger(-7);
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 1);
}

} // namespace
} // namespace od
