// Statements against the embedded engine: the text change protocol, Prepare
// and ExecQuery, the row walk, the notifications from the connection and the
// transaction, and every failure with its message.
#include "db/Query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/FbErrors.h"
#include "tests/db/QueryFixture.h"
#include "tests/db/support/MessageOf.h"

namespace od {
namespace {

using test::MessageOf;
using test::TConnectedForm;
using test::TestDatabase;

class QueryTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    file_ = new TestDatabase("query");
    file_->Execute(test::kGoodsTable);
    file_->Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (1, 7)");
    file_->Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (2, 7)");
    file_->Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (3, 9)");
    file_->Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (4, 9, '2024-01-01')");
  }
  static void TearDownTestSuite() {
    delete file_;
    file_ = nullptr;
  }
  void SetUp() override { test::UseRussianFormats(); }

  static TestDatabase* file_;
  TConnectedForm form_{*file_};
};

TestDatabase* QueryTest::file_ = nullptr;

const char* const kUpdateLines[] = {"UPDATE TBL_ZAKAZ_TOVARS SET ", "   DATA_TIME_SEND=:DATA_TIME_SEND", "WHERE",
                                    "    ID=:ID"};

TFbQuery& AddUpdate(TConnectedForm& form) {
  return form.AddQuery("SQLUpdateID", {kUpdateLines[0], kUpdateLines[1], kUpdateLines[2], kUpdateLines[3]});
}

// ---- text and parameters ----

TEST_F(QueryTest, UpdateHasItsTwoParametersFromTheMomentItsTextIsSet) {
  TFbQuery& q = AddUpdate(form_);
  ASSERT_EQ(q.ParamCount(), 2);
  EXPECT_EQ(q.Params().At(0).Name(), "DATA_TIME_SEND");
  EXPECT_EQ(q.Params().At(1).Name(), "ID");
  EXPECT_TRUE(q.Params().At(0).IsNull());
  EXPECT_EQ(q.SQLKind(), TSqlKind::Update);
  EXPECT_EQ(&q.ParameterByName("id"), &q.Params().At(1));
  EXPECT_EQ(&q.ParameterByName("Data_Time_Send"), &q.Params().At(0));
}

struct PlainTextCase {
  const char* text;
  bool paramCheck;
};

class PlainTextTest : public QueryTest, public testing::WithParamInterface<PlainTextCase> {};

TEST_P(PlainTextTest, GoesToTheServerUnchanged) {
  TFbQuery& q = form_.AddQuery("Q");
  q.SetParamCheck(GetParam().paramCheck);
  q.SQL().SetText(GetParam().text);
  EXPECT_EQ(q.ParamCount(), 0);
  EXPECT_EQ(q.ProcessedText(), q.SQL().Text());
  form_.OpenAndStart();
  q.ExecQuery();
  EXPECT_FALSE(q.AtEnd());
}

INSTANTIATE_TEST_SUITE_P(Texts, PlainTextTest,
                         testing::Values(PlainTextCase{"SELECT ':ID' FROM RDB$DATABASE", true},
                                         PlainTextCase{"SELECT 1 /* :X */ FROM RDB$DATABASE -- :Y", true},
                                         PlainTextCase{"SELECT ':ID' FROM RDB$DATABASE", false},
                                         PlainTextCase{"SELECT COUNT(*) FROM TBL_ZAKAZ_TOVARS", true}));

TEST_F(QueryTest, ParamCheckOffLeavesMarkersToTheServer) {
  TFbQuery& q = form_.AddQuery("Q");
  q.SetParamCheck(false);
  q.SQL().SetText("SELECT * FROM TBL_ZAKAZ_TOVARS WHERE ID = :ID");
  EXPECT_EQ(q.ParamCount(), 0);
  form_.OpenAndStart();
  EXPECT_THROW(q.ExecQuery(), EFbServerError);
  EXPECT_FALSE(q.Prepared());
  EXPECT_EQ(q.Handle(), 0u);
}

TEST_F(QueryTest, ParameterValuesCarryOverToAChangedText) {
  TFbQuery& q = form_.AddQuery("Q", {"SELECT ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS WHERE ID = :ID"});
  q.ParameterByName("ID").SetAsInteger(3);
  q.SQL().SetText("SELECT ZAKAZ_ID + CAST(:DELTA AS INTEGER) FROM TBL_ZAKAZ_TOVARS WHERE ID = :ID");
  EXPECT_EQ(q.ParameterByName("ID").AsInteger(), 3);
  EXPECT_TRUE(q.ParameterByName("DELTA").IsNull());
  q.ParameterByName("DELTA").SetAsInteger(100);
  form_.OpenAndStart();
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 109);
}

// ---- failures and their messages ----

struct ParseErrorCase {
  const char* text;
  const char* detail;
};

class ParseErrorTest : public QueryTest, public testing::WithParamInterface<ParseErrorCase> {};

TEST_P(ParseErrorTest, RaisesClientError51AndKeepsTheArea) {
  TFbQuery& q = form_.AddQuery("Q", {"SELECT * FROM TBL_ZAKAZ_TOVARS WHERE ID = :OLD"});
  try {
    q.SQL().SetText(GetParam().text);
    FAIL() << GetParam().text;
  } catch (const EFbClientError& e) {
    EXPECT_EQ(e.SQLCode(), 51);
    EXPECT_EQ(std::string(e.what()), std::string("SQL Parse Error in :Form2.Q \r\n\r\n") + GetParam().detail);
  }
  EXPECT_EQ(q.Params().Count(), 1);
  EXPECT_EQ(q.Params().At(0).Name(), "OLD");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseErrorTest,
    testing::Values(ParseErrorCase{"SELECT * FROM T WHERE A = :A AND B = 'open", "EOF in string detected"},
                    ParseErrorCase{"SELECT * FROM T WHERE A = :A /* open", "EOF in comment detected"},
                    ParseErrorCase{"SELECT 1 FROM T WHERE A = : ", "Parameter name expected"}));

TEST_F(QueryTest, ARefusedTextIsNotReplacedByTheEarlierOne) {
  TFbQuery& q = form_.AddQuery("Q", {"SELECT COUNT(*) FROM TBL_ZAKAZ_TOVARS"});
  form_.OpenAndStart();
  q.ExecQuery();
  q.Close();
  const std::string refused = "SQL Parse Error in :Form2.Q \r\n\r\nEOF in string detected";
  EXPECT_EQ(MessageOf([&] { q.SQL().SetText("DELETE FROM TBL_ZAKAZ_TOVARS WHERE ZAKAZ_ID = :Z OR ID = '7"); }),
            refused);
  EXPECT_EQ(MessageOf([&] { q.ExecQuery(); }), refused);
  EXPECT_FALSE(q.IsOpen());
  EXPECT_EQ(q.ExecuteCount(), 1);
  q.SQL().SetText("SELECT COUNT(*) FROM TBL_ZAKAZ_TOVARS WHERE ZAKAZ_ID = 7");
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 2);
}

TEST_F(QueryTest, ErrorRowsOfTheStatement) {
  TFbQuery& q = AddUpdate(form_);
  EXPECT_EQ(MessageOf([&] { q.ParameterByName("X"); }), "Parameter \"X\" does not exist in Form2.SQLUpdateID");

  TFbQuery& noDb = form_.AddQuery("NoDb", {"SELECT 1 FROM RDB$DATABASE"});
  noDb.SetDatabase(nullptr);
  EXPECT_EQ(MessageOf([&] { noDb.Prepare(); }), "Database not assigned for Form2.NoDb.");

  TFbQuery& closedDb = form_.AddQuery("Closed", {"SELECT 1 FROM RDB$DATABASE"});
  EXPECT_EQ(MessageOf([&] { closedDb.Prepare(); }), "Form2.DB: Cannot perform operation -- DB is not open.");

  form_.DB().Open();
  EXPECT_EQ(MessageOf([&] { closedDb.Prepare(); }), "Form2.Tr :Transaction is not active.");
  TFbQuery& noTr = form_.AddQuery("NoTr", {"SELECT 1 FROM RDB$DATABASE"});
  noTr.SetTransaction(nullptr);
  EXPECT_EQ(MessageOf([&] { noTr.Prepare(); }), "Transaction not assigned for Form2.NoTr.");
  EXPECT_EQ(MessageOf([&] { noTr.ExecQuery(); }), "Transaction not assigned for Form2.NoTr.");

  form_.Tr().StartTransaction();
  TFbQuery& empty = form_.AddQuery("Empty", {"   ", ""});
  EXPECT_EQ(MessageOf([&] { empty.Prepare(); }), "Can't Prepare , because  query is empty");
  EXPECT_EQ(empty.Handle(), 0u);

  TFbQuery& select = form_.AddQuery("Sel", {"SELECT ID, ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS"});
  EXPECT_EQ(MessageOf([&] { select.FetchNext(); }), "Can't fetch next record because Form2.Sel dataset closed.");
  select.ExecQuery();
  EXPECT_EQ(MessageOf([&] { select.ColumnAt(2); }), "Field \"Field No: 2\" not found.");
  EXPECT_EQ(MessageOf([&] { select.ColumnAt(-1); }), "Field \"Field No: -1\" not found.");
  EXPECT_EQ(MessageOf([&] { select.ColumnByName("NOPE"); }), "Field \"NOPE\" not found.");
  EXPECT_EQ(MessageOf([&] { select.SQL().Add("WHERE ID = 1"); }),
            "Can't change sql text because Form2.Sel dataset open.");
  EXPECT_EQ(select.SQL().Count(), 1);
  EXPECT_TRUE(select.IsOpen());
  select.Close();
  select.SQL().Add("WHERE ID = 1");
  EXPECT_EQ(select.Handle(), 0u);
  EXPECT_FALSE(select.Prepared());
  select.ExecQuery();
  EXPECT_EQ(select.ColumnAt(0).AsInteger(), 1);
}

TEST_F(QueryTest, ServerRejectsThePrepare) {
  form_.OpenAndStart();
  TFbQuery& q = form_.AddQuery("Bad", {"SELECT NO_SUCH_COLUMN FROM TBL_ZAKAZ_TOVARS"});
  try {
    q.ExecQuery();
    FAIL();
  } catch (const EFbServerError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Form2.Bad:\r\n", 0), 0u) << e.what();
    EXPECT_EQ(e.Raiser(), &q);
  }
  EXPECT_FALSE(q.Prepared());
  EXPECT_EQ(q.Handle(), 0u);
}

TEST_F(QueryTest, FailedExecutionLeavesTheStatementPrepared) {
  form_.OpenAndStart();
  TFbQuery& insert = form_.AddQuery("Ins", {"INSERT INTO TBL_ZAKAZ_TOVARS (ID) VALUES (:ID)"});
  insert.ParameterByName("ID").SetAsInteger(1);
  EXPECT_THROW(insert.ExecQuery(), EFbServerError);
  EXPECT_TRUE(insert.Prepared());
  EXPECT_FALSE(insert.IsOpen());

  TFbQuery& select = form_.AddQuery("Sel", {"SELECT 1 / (ID - 3) FROM TBL_ZAKAZ_TOVARS ORDER BY ID"});
  select.ExecQuery();
  ASSERT_NE(select.FetchNext(), nullptr);
  // The third row divides by zero: the fetch fails and the result is closed.
  EXPECT_THROW(select.FetchNext(), EFbServerError);
  EXPECT_FALSE(select.IsOpen());
  EXPECT_TRUE(select.AtEnd());
  form_.Tr().Rollback();
}

TEST_F(QueryTest, SegmentAndStartTransactionStatementsAreNotPermitted) {
  form_.OpenAndStart();
  TFbQuery& q = form_.AddQuery("Q", {"SET TRANSACTION"});
  EXPECT_EQ(MessageOf([&] { q.Prepare(); }), "Not permitted.");
  EXPECT_EQ(q.Handle(), 0u);
}

// ---- rows ----

TEST_F(QueryTest, EmptyResultIsAtEndWithNullColumns) {
  form_.OpenAndStart();
  TFbQuery& q = form_.AddQuery("Q", {"SELECT ID, ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS WHERE ID < 0"});
  q.ExecQuery();
  EXPECT_TRUE(q.AtEnd());
  EXPECT_TRUE(q.IsOpen());
  EXPECT_EQ(q.ColumnByName("ZAKAZ_ID").AsInteger(), 0);
  EXPECT_EQ(q.ColumnByName("ZAKAZ_ID").AsString(), "");
  EXPECT_EQ(q.FetchNext(), nullptr);
}

TEST_F(QueryTest, ThreeColumnsAreDescribedAgainIntoALargerArea) {
  form_.OpenAndStart();
  TFbQuery& q = form_.AddQuery("Q", {"SELECT ID, ZAKAZ_ID, DATA_TIME_SEND FROM TBL_ZAKAZ_TOVARS WHERE ID = 4"});
  q.Prepare();
  ASSERT_EQ(q.ColumnCount(), 3);
  EXPECT_GE(q.Columns().Capacity(), 3);
  EXPECT_EQ(q.ColumnAt(0).Name(), "ID");
  EXPECT_EQ(q.ColumnAt(1).Name(), "ZAKAZ_ID");
  EXPECT_EQ(q.ColumnAt(2).Name(), "DATA_TIME_SEND");
  EXPECT_EQ(q.ColumnAt(2).DataType(), kSqlTimestamp);
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(2).AsString(), "01.01.2024");
  EXPECT_EQ(q.PrepareCount(), 1);
}

TEST_F(QueryTest, CommitAndRollbackCloseOpenSelectsButRetainingDoesNot) {
  form_.OpenAndStart();
  TFbQuery& a = form_.AddQuery("A", {"SELECT ID FROM TBL_ZAKAZ_TOVARS"});
  TFbQuery& b = form_.AddQuery("B", {"SELECT ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS"});
  a.ExecQuery();
  b.ExecQuery();
  form_.Tr().CommitRetaining();
  EXPECT_TRUE(a.IsOpen());
  ASSERT_NE(a.FetchNext(), nullptr);
  form_.Tr().Commit();
  EXPECT_FALSE(a.IsOpen());
  EXPECT_FALSE(b.IsOpen());
  EXPECT_TRUE(a.Prepared());
  form_.Tr().StartTransaction();
  a.ExecQuery();
  form_.Tr().Rollback();
  EXPECT_FALSE(a.IsOpen());
}

TEST_F(QueryTest, DetachFreesEveryStatementHandle) {
  form_.OpenAndStart();
  TFbQuery& select = form_.AddQuery("A", {"SELECT ID FROM TBL_ZAKAZ_TOVARS"});
  TFbQuery& update = AddUpdate(form_);
  update.ParameterByName("ID").SetAsInteger(-1);
  update.ParameterByName("DATA_TIME_SEND").SetAsDateTime(1.0);
  select.ExecQuery();
  update.ExecQuery();
  form_.Tr().Commit();
  form_.Tr().StartTransaction();
  select.ExecQuery();
  ASSERT_NE(select.Handle(), 0u);
  form_.Tr().Commit();
  form_.DB().Close();
  EXPECT_EQ(select.Handle(), 0u);
  EXPECT_EQ(update.Handle(), 0u);
  EXPECT_FALSE(update.Prepared());
  // Prepared again on the next attachment.
  form_.OpenAndStart();
  update.ExecQuery();
  EXPECT_EQ(update.PrepareCount(), 2);
  form_.Tr().Rollback();
}

TEST_F(QueryTest, StatementsOfALostAttachmentArePreparedAgainAfterReopening) {
  form_.OpenAndStart();
  TFbQuery& select = form_.AddQuery("A", {"SELECT ID FROM TBL_ZAKAZ_TOVARS ORDER BY ID"});
  TFbQuery& update = AddUpdate(form_);
  update.ParameterByName("ID").SetAsInteger(-1);
  update.ParameterByName("DATA_TIME_SEND").SetAsDateTime(1.0);
  update.ExecQuery();
  select.ExecQuery();
  ASSERT_TRUE(select.IsOpen());
  // Cut from another attachment, as an administrator would.
  file_->Execute("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION AND MON$SYSTEM_FLAG = 0");
  form_.DB().Close();
  for (TFbQuery* q : {&select, &update}) {
    EXPECT_FALSE(q->IsOpen()) << q->Name();
    EXPECT_FALSE(q->Prepared()) << q->Name();
    EXPECT_EQ(q->Handle(), 0u) << q->Name();
  }
  form_.OpenAndStart();
  select.ExecQuery();
  EXPECT_EQ(select.ColumnAt(0).AsInteger(), 1);
  update.ExecQuery();
  EXPECT_EQ(select.PrepareCount(), 2);
  EXPECT_EQ(update.PrepareCount(), 2);
  form_.Tr().Rollback();
}

TEST_F(QueryTest, DestroyingTheConnectionFirstLeavesStatementsHarmless) {
  auto form = std::make_unique<TComponent>();
  auto* db = new TFbDatabase(form.get());
  db->SetDBName(file_->Path());
  for (const auto& line : test::TestDBParams()) db->DBParams().Add(line);
  db->SetSQLDialect(3);
  auto* tr = new TFbTransaction(form.get());
  tr->SetDefaultDatabase(db);
  TFbQuery q;
  q.SetDatabase(db);
  EXPECT_EQ(q.Transaction(), nullptr);
  q.SetTransaction(tr);
  q.SQL().SetText("SELECT ID FROM TBL_ZAKAZ_TOVARS");
  db->Open();
  tr->StartTransaction();
  q.ExecQuery();
  form.reset();
  EXPECT_EQ(q.Database(), nullptr);
  EXPECT_EQ(q.Transaction(), nullptr);
  EXPECT_FALSE(q.IsOpen());
  EXPECT_EQ(q.Handle(), 0u);
}

TEST_F(QueryTest, DatabaseDefaultTransactionAndOwnerBecomeSettings) {
  TFbQuery q(&form_.DB());
  EXPECT_EQ(q.Database(), &form_.DB());
  EXPECT_EQ(q.Transaction(), &form_.Tr());
  TFbQuery r(&form_.Tr());
  EXPECT_EQ(r.Transaction(), &form_.Tr());
  EXPECT_EQ(r.Database(), &form_.DB());
}

// ---- NULL rewriting, DDL, options ----

TEST_F(QueryTest, NullParameterInAWhereComparisonBecomesIsNull) {
  form_.OpenAndStart();
  TFbQuery& q = form_.AddQuery("Q", {"SELECT COUNT(*) FROM TBL_ZAKAZ_TOVARS WHERE DATA_TIME_SEND = :D"});
  q.ParameterByName("D").SetIsNull(true);
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 3);
  EXPECT_NE(q.ProcessedText().find("IS NULL"), std::string::npos);
  q.ParameterByName("D").SetAsDateTime(EncodeDate(2024, 1, 1));
  q.ExecQuery();
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 1);
  EXPECT_EQ(q.ProcessedText().find("IS NULL"), std::string::npos);
  EXPECT_EQ(q.PrepareCount(), 2);

  TFbQuery& plain = form_.AddQuery("P", {"SELECT COUNT(*) FROM TBL_ZAKAZ_TOVARS WHERE DATA_TIME_SEND = :D"});
  plain.SetOptions(qoNoForceIsNull);
  plain.ParameterByName("D").SetIsNull(true);
  plain.ExecQuery();
  EXPECT_EQ(plain.ColumnAt(0).AsInteger(), 0);
}

TEST_F(QueryTest, DdlRunsImmediately) {
  form_.OpenAndStart();
  TFbQuery& ddl = form_.AddQuery("Ddl", {"CREATE TABLE T_QUERY_DDL (A INTEGER)"});
  EXPECT_EQ(ddl.SQLKind(), TSqlKind::DDL);
  ddl.ExecQuery();
  EXPECT_FALSE(ddl.Prepared());
  form_.Tr().Commit();
  EXPECT_EQ(file_->Scalar("SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'T_QUERY_DDL'"), "1");
}

TEST_F(QueryTest, StartTransactionAndAutoCommitOptions) {
  form_.DB().Open();
  TFbQuery& q = form_.AddQuery("Q", {"UPDATE TBL_ZAKAZ_TOVARS SET ZAKAZ_ID = ZAKAZ_ID WHERE ID = :ID"});
  q.SetOptions(qoStartTransaction | qoAutoCommit | qoFreeHandleAfterExecute);
  q.ParameterByName("ID").SetAsInteger(1);
  q.ExecQuery();
  EXPECT_FALSE(form_.Tr().Active());
  EXPECT_EQ(q.Handle(), 0u);
}

TEST_F(QueryTest, ExecuteProcedureKeepsItsOutputRow) {
  form_.OpenAndStart();
  TFbQuery& ddl = form_.AddQuery(
      "Ddl", {"CREATE OR ALTER PROCEDURE P_TWICE (X INTEGER) RETURNS (Y INTEGER) AS BEGIN Y = X * 2; END"});
  // CREATE OR ALTER is not one of the DDL keywords: it runs through Prepare.
  ddl.ExecQuery();
  form_.Tr().Commit();
  form_.Tr().StartTransaction();
  TFbQuery& call = form_.AddQuery("Call", {"EXECUTE PROCEDURE P_TWICE(:X)"});
  call.ParameterByName("X").SetAsInteger(21);
  call.ExecQuery();
  EXPECT_EQ(call.SQLType(), SQLExecProcedure);
  EXPECT_TRUE(call.ProcedureOutput());
  EXPECT_EQ(call.ColumnByName("Y").AsInteger(), 42);
  // An EXECUTE statement finds its output through ParameterByName too.
  EXPECT_EQ(call.ParameterByName("Y").AsInteger(), 42);
  form_.Tr().Rollback();
}

// ---- the retry wrapper ----

TEST_F(QueryTest, ExecuteErrorHandlerDecides) {
  form_.OpenAndStart();
  TFbQuery& q = form_.AddQuery("Q", {"SELECT 1 / CAST(:D AS INTEGER) FROM RDB$DATABASE"});
  int calls = 0;
  std::string message;
  q.OnExecuteError = [&](TFbQuery& query, EFbError& error, TDataAction& action) {
    ++calls;
    message = error.what();
    query.ParameterByName("D").SetAsInteger(1);
    action = calls < 3 ? daRetry : daFail;
  };
  q.ParameterByName("D").SetAsInteger(0);
  EXPECT_NO_THROW(q.ExecQuery()) << message;
  EXPECT_EQ(calls, 1) << message;
  EXPECT_EQ(q.ColumnAt(0).AsInteger(), 1);

  q.ParameterByName("D").SetAsInteger(0);
  q.OnExecuteError = [](TFbQuery&, EFbError&, TDataAction& action) { action = daAbort; };
  EXPECT_THROW(q.ExecQuery(), EAbort);
  q.OnExecuteError = [](TFbQuery&, EFbError&, TDataAction&) {};
  EXPECT_THROW(q.ExecQuery(), EFbServerError);
}

// ---- the connection's server-time query ----

struct TimeQueryCase {
  int dialect;
  const char* text;
};

class ServerTimeTest : public testing::TestWithParam<TimeQueryCase> {};

TEST_P(ServerTimeTest, RunsOnOpenAndMeasuresTheDifference) {
  TestDatabase file("time", GetParam().dialect);
  std::vector<std::string> prepared;
  TFbCustomQuery::SetPrepareMonitor([&](const TFbCustomQuery&, const std::string& text) { prepared.push_back(text); });
  {
    TConnectedForm form(file, 3);
    form.DB().Open();
    EXPECT_EQ(form.DB().SQLDialect(), GetParam().dialect);
    ASSERT_EQ(prepared, std::vector<std::string>{std::string(GetParam().text) + "\r\n"});
    // Local clock and the engine's clock are the same clock here.
    EXPECT_LT(std::abs(form.DB().TimeDifference()), 1.0 / 24 / 60);
    EXPECT_FALSE(form.DB().InternalTransaction().Active());
    form.DB().Open();
    EXPECT_EQ(prepared.size(), 1u);
    form.DB().Close();
  }
  TFbCustomQuery::SetPrepareMonitor(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Dialects, ServerTimeTest,
                         testing::Values(TimeQueryCase{3, "SELECT CAST('NOW' AS TIMESTAMP) from RDB$DATABASE"},
                                         TimeQueryCase{1, "SELECT CAST('NOW' AS DATE) from RDB$DATABASE"}));

TEST(QueryValueTest, ReturnsTheColumnInItsOwnType) {
  TestDatabase file("value");
  TConnectedForm form(file);
  form.DB().Open();
  EXPECT_EQ(std::get<std::int64_t>(form.DB().QueryValue("SELECT 5, 6 FROM RDB$DATABASE", 1)), 6);
  EXPECT_EQ(std::get<std::string>(form.DB().QueryValue("SELECT 'abc' FROM RDB$DATABASE", 0)), "abc");
  EXPECT_DOUBLE_EQ(std::get<double>(form.DB().QueryValue("SELECT CAST(1.5 AS DOUBLE PRECISION) FROM RDB$DATABASE", 0)),
                   1.5);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(form.DB().QueryValue("SELECT NULL FROM RDB$DATABASE", 0)));
  EXPECT_THROW(form.DB().QueryValue("SELECT NOPE FROM RDB$DATABASE", 0), EFbServerError);
  EXPECT_FALSE(form.DB().InternalTransaction().Active());
}

} // namespace
} // namespace od
