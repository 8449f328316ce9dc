// Parameter and column values: every conversion read from real columns of
// every type on the embedded engine, and parameters of every kind sent to it.
#include "db/XSQLDA.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "db/ClientLibrary.h"
#include "db/FbErrors.h"
#include "tests/db/QueryFixture.h"
#include "tests/db/support/MessageOf.h"

namespace od {
namespace {

using test::TConnectedForm;
using test::TestDatabase;

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
                    TextCase{3, "C_NUM18", ""}, TextCase{1, "CAST(NULL AS INTEGER)", ""}));

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

// ---- keys at their full width ----

struct ExactCase {
  int id;
  const char* column;
  std::int64_t value;
  const char* error; // the message the read raises, or null
};

class ColumnExactInt64Test : public ColumnValueTest, public testing::WithParamInterface<ExactCase> {};

TEST_P(ColumnExactInt64Test, ReadsExactlyOrRaises) {
  TFbXSQLVAR& column = Column(GetParam().id, GetParam().column);
  if (GetParam().error == nullptr) {
    EXPECT_EQ(column.AsInt64(), GetParam().value) << GetParam().column;
  } else {
    EXPECT_EQ(test::MessageOf([&] { column.AsInt64(); }), GetParam().error) << GetParam().column;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Columns, ColumnExactInt64Test,
    testing::Values(
        ExactCase{1, "CAST(3000000001 AS BIGINT)", 3000000001LL, nullptr},
        ExactCase{1, "CAST(4294967297 AS BIGINT)", 4294967297LL, nullptr},
        ExactCase{1, "CAST(-9223372036854775807 AS BIGINT) - 1", std::numeric_limits<std::int64_t>::min(), nullptr},
        ExactCase{1, "CAST(9223372036854775807 AS BIGINT)", std::numeric_limits<std::int64_t>::max(), nullptr},
        ExactCase{1, "ID", 1, nullptr}, ExactCase{1, "ZAKAZ_ID", 1234, nullptr}, ExactCase{1, "C_SMALL", -12, nullptr},
        ExactCase{3, "C_BIG", 0, nullptr}, ExactCase{1, "CAST(5.00 AS NUMERIC(18,2))", 5, nullptr},
        ExactCase{1, "CAST(5.50 AS NUMERIC(18,2))", 0, "'5,50' cannot be read exactly as a 64-bit integer"},
        ExactCase{1, "C_NUM9", 0, "'12,99' cannot be read exactly as a 64-bit integer"},
        ExactCase{1, "CAST(1e15 AS DOUBLE PRECISION)", 1'000'000'000'000'000LL, nullptr},
        ExactCase{1, "C_DOUBLE", 0, "'1,25' cannot be read exactly as a 64-bit integer"},
        ExactCase{1, "CAST(1e19 AS DOUBLE PRECISION)", 0, "'1E19' cannot be read exactly as a 64-bit integer"},
        ExactCase{1, "CAST(' 13 ' AS VARCHAR(10))", 13, nullptr}, ExactCase{1, "C_CHAR", 12, nullptr},
        ExactCase{1, "CAST('12a' AS VARCHAR(10))", 0, "'12a' cannot be read exactly as a 64-bit integer"},
        ExactCase{1, "'9223372036854775808'", 0, "'9223372036854775808' cannot be read exactly as a 64-bit integer"},
        ExactCase{1, "C_DATE", 0, "Invalid data conversion."}));

struct SetExactCase {
  const char* column;
  std::int64_t value;
  const char* stored; // the server's text of the stored value, or null when it must refuse it
};

class ParameterExactInt64Test : public ColumnValueTest, public testing::WithParamInterface<SetExactCase> {};

TEST_P(ParameterExactInt64Test, SetsExactlyOrTheServerRefuses) {
  const std::string column = GetParam().column;
  TFbQuery& update = form_->AddQuery("U", {"UPDATE TBL_ZAKAZ_TOVARS SET " + column + " = :V WHERE ID = 3"});
  update.ParameterByName("V").SetAsInt64(GetParam().value);
  TFbQuery& read = form_->AddQuery(
      "R", {"SELECT CAST(" + column + " AS VARCHAR(30)), " + column + " FROM TBL_ZAKAZ_TOVARS WHERE ID = 3"});
  if (GetParam().stored != nullptr) {
    update.ExecQuery();
    read.ExecQuery();
    EXPECT_EQ(read.ColumnAt(0).AsString(), GetParam().stored);
    EXPECT_EQ(read.ColumnAt(1).AsInt64(), GetParam().value);
  } else {
    EXPECT_THROW(update.ExecQuery(), EFbServerError);
    read.ExecQuery();
    EXPECT_TRUE(read.ColumnAt(1).IsNull()) << read.ColumnAt(0).AsString();
  }
  form_->Tr().Rollback();
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ParameterExactInt64Test,
    testing::Values(SetExactCase{"C_BIG", 3000000001LL, "3000000001"},
                    SetExactCase{"C_BIG", 4294967297LL, "4294967297"},
                    SetExactCase{"C_BIG", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
                    SetExactCase{"C_BIG", std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
                    SetExactCase{"ZAKAZ_ID", 2147483647, "2147483647"}, SetExactCase{"ZAKAZ_ID", 3000000001LL, nullptr},
                    SetExactCase{"C_SMALL", -32768, "-32768"}, SetExactCase{"C_SMALL", 40000, nullptr},
                    SetExactCase{"C_NUM18", 5, "5.00"},
                    SetExactCase{"C_NUM18", 92233720368547758LL, "92233720368547758.00"},
                    SetExactCase{"C_NUM18", std::numeric_limits<std::int64_t>::max(), nullptr}));

TEST_F(ColumnValueTest, AKeyBeyondAnIntegerColumnUpdatesNoOtherRow) {
  // 4294967297 has the low 32 bits of row 1's key.
  TFbQuery& update = form_->AddQuery("U", {"UPDATE TBL_ZAKAZ_TOVARS SET C_BIG = 7 WHERE ID = :ID"});
  update.ParameterByName("ID").SetAsInt64(4294967297LL);
  EXPECT_THROW(update.ExecQuery(), EFbServerError);
  EXPECT_EQ(Column(1, "C_BIG").AsInt64(), 5);
  form_->Tr().Rollback();
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

TEST_F(ColumnValueTest, TextForABlobParameterIsWrittenAsABlob) {
  TFbQuery& q = form_->AddQuery("Q", {"UPDATE TBL_ZAKAZ_TOVARS SET C_BLOB = :B WHERE ID = 3"});
  q.ParameterByName("B").SetAsString("long text \xC4\xE0");
  q.ExecQuery();
  EXPECT_EQ(q.ParameterByName("B").DataType(), kSqlBlob);
  TFbQuery& read = form_->AddQuery("R", {"SELECT C_BLOB FROM TBL_ZAKAZ_TOVARS WHERE ID = 3"});
  read.ExecQuery();
  EXPECT_EQ(read.ColumnAt(0).AsString(), "long text \xC4\xE0");
  form_->Tr().Rollback();
}

// The engine cannot be made to fail a segment write on demand; for this one
// test the loaded client's slot is pointed at a write that fails as a full
// disk would, and that remembers the BLOB it was given.
isc_blob_handle gRefusedBlob = 0;
ISC_STATUS RefusingPutSegment(ISC_STATUS* status, isc_blob_handle* blob, unsigned short, const ISC_SCHAR*) {
  gRefusedBlob = *blob;
  status[0] = isc_arg_gds;
  status[1] = isc_virmemexh;
  status[2] = isc_arg_end;
  return status[1];
}

TEST_F(ColumnValueTest, ABlobThatCannotBeWrittenIsCancelled) {
  IIBClientLibrary& library = *form_->DB().ClientLibrary();
  struct TSlot {
    TIBEntryPoints& entries;
    decltype(TIBEntryPoints::isc_put_segment) real = entries.isc_put_segment;
    ~TSlot() { entries.isc_put_segment = real; }
  } slot{const_cast<TIBEntryPoints&>(library.EntryPoints())};
  slot.entries.isc_put_segment = RefusingPutSegment;
  gRefusedBlob = 0;
  TFbQuery& q = form_->AddQuery("Q", {"UPDATE TBL_ZAKAZ_TOVARS SET C_BLOB = :B WHERE ID = 3"});
  q.ParameterByName("B").SetAsString("text");
  EXPECT_EQ(test::MessageOf([&] { q.ExecQuery(); }), "Blob stream cannot be written.");
  // The client no longer knows the BLOB: it was released, not left behind.
  ASSERT_NE(gRefusedBlob, 0u);
  isc_blob_handle refused = gRefusedBlob;
  EXPECT_EQ(library.isc_cancel_blob(StatusVector(), &refused), isc_bad_segstr_handle);
  form_->Tr().Rollback();
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
