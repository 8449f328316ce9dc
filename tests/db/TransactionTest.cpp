#include "db/Transaction.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "db/ClientLibrary.h"
#include "db/Database.h"
#include "db/FbErrors.h"
#include "tests/db/support/MessageOf.h"
#include "tests/db/support/TestDatabase.h"

namespace od {
namespace {

using test::MessageOf;

// Runs one statement inside the transaction, the way a statement object
// would: the connection's handle, the transaction's handle.
void ExecIn(TFbCustomDatabase& db, TFbCustomTransaction& tr, const std::string& sql) {
  IIBClientLibrary& library = *db.ClientLibrary();
  tr.CallCheck(library.isc_dsql_execute_immediate(StatusVector(), db.HandleAddress(), tr.HandleAddress(), 0,
                                                  sql.c_str(), static_cast<unsigned short>(db.SQLDialect()), nullptr));
}

class TRecorder : public IFbStatementLink, public IFbTransactionListener {
public:
  TRecorder(std::string tag, std::vector<std::string>& log) : tag_(std::move(tag)), log_(log) {}
  void DatabaseEvent(TFbCustomDatabase&, TFbDatabaseEvent) override {}
  void DatabaseFreed(TFbCustomDatabase&) noexcept override {}
  void TransactionEvent(TFbCustomTransaction& tr, TFbTransactionEvent event) override {
    static const char* names[] = {"starting", "started", "ending", "ended"};
    log_.push_back(tag_ + ":" + names[static_cast<int>(event)] + std::to_string(tr.EndState()) +
                   (tr.Active() ? "+" : "-"));
  }
  void TransactionFreed(TFbCustomTransaction&) noexcept override { log_.push_back(tag_ + ":freed"); }
  void BeforeStart(TFbCustomTransaction&) override { log_.push_back(tag_ + ":before-start"); }
  void AfterStart(TFbCustomTransaction&) override { log_.push_back(tag_ + ":after-start"); }
  void BeforeEnd(TFbCustomTransaction&) override { log_.push_back(tag_ + ":before-end"); }
  void AfterEnd(TFbCustomTransaction&) override { log_.push_back(tag_ + ":after-end"); }

private:
  std::string tag_;
  std::vector<std::string>& log_;
};

class Transaction : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    file_ = new test::TestDatabase("transactions");
    file_->Execute("CREATE TABLE T (ID INTEGER NOT NULL PRIMARY KEY, V VARCHAR(20))");
    file_->Execute("CREATE EXCEPTION E_REFUSED 'commit refused by trigger'");
    file_->Execute("CREATE TRIGGER REFUSE_COMMIT ON TRANSACTION COMMIT AS BEGIN "
                   "IF (RDB$GET_CONTEXT('USER_TRANSACTION', 'REFUSE') = '1') THEN EXCEPTION E_REFUSED; END");
  }
  static void TearDownTestSuite() {
    delete file_;
    file_ = nullptr;
  }

  void SetUp() override {
    file_->Execute("DELETE FROM T");
    file_->Execute("INSERT INTO T (ID, V) VALUES (1, 'one')");
    form_.SetName("Form2");
    db_->SetName("DB");
    tr_->SetName("Tr");
    Configure(*db_);
    tr_->SetDefaultDatabase(db_);
    db_->SetDefaultTransaction(tr_);
    db_->Open();
  }

  static void Configure(TFbCustomDatabase& db) {
    db.SetDBName(file_->Path());
    for (const auto& line : test::TestDBParams()) db.DBParams().Add(line);
    db.SetSQLDialect(3);
  }

  static std::string Rows() {
    return file_->Scalar("SELECT LIST(ID || '=' || V, ',') FROM (SELECT * FROM T ORDER BY ID)");
  }

  static inline test::TestDatabase* file_ = nullptr;
  TComponent form_;
  TFbDatabase* db_ = new TFbDatabase(&form_);
  TFbTransaction* tr_ = new TFbTransaction(&form_);
};

TEST_F(Transaction, StartRewritesTheLinesFromTheMode) {
  EXPECT_EQ(tr_->TPBMode(), tpbReadCommitted);
  tr_->TRParams().Assign({"concurrency"});
  tr_->StartTransaction();
  EXPECT_TRUE(tr_->Active());
  EXPECT_EQ(tr_->EndState(), kEndStateActive);
  EXPECT_EQ(tr_->TRParams().Text(), "write\r\nisc_tpb_nowait\r\nread_committed\r\nrec_version\r\n");
  EXPECT_EQ(tr_->ParamBlock(), std::string("\x03\x09\x07\x0f\x11", 5));
  tr_->Commit();
  tr_->SetTPBMode(tpbRepeatableRead);
  tr_->StartTransaction();
  EXPECT_EQ(tr_->TRParams().Text(), "write\r\nisc_tpb_nowait\r\nconcurrency\r\n");
  EXPECT_EQ(tr_->ParamBlock(), std::string("\x03\x09\x07\x02", 4));
  tr_->Rollback();
  tr_->SetTPBMode(tpbDefault);
  tr_->TRParams().Clear();
  tr_->StartTransaction();
  EXPECT_EQ(tr_->TRParams().Count(), 0);
  EXPECT_EQ(tr_->ParamBlock(), "");
  tr_->Commit();
}

TEST_F(Transaction, CommitMakesTheWorkDurable) {
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (2, 'two')");
  EXPECT_EQ(Rows(), "1=one");
  tr_->Commit();
  EXPECT_FALSE(tr_->Active());
  EXPECT_EQ(tr_->EndState(), kEndStateInactive);
  EXPECT_EQ(Rows(), "1=one,2=two");
}

TEST_F(Transaction, RollbackDiscardsTheWork) {
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "UPDATE T SET V = 'changed'");
  tr_->Rollback();
  EXPECT_FALSE(tr_->Active());
  EXPECT_EQ(Rows(), "1=one");
}

TEST_F(Transaction, RetainingFormsKeepTheTransaction) {
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (2, 'two')");
  tr_->CommitRetaining();
  EXPECT_TRUE(tr_->Active());
  EXPECT_EQ(tr_->EndState(), kEndStateActive);
  EXPECT_EQ(Rows(), "1=one,2=two");
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (3, 'three')");
  tr_->RollbackRetaining();
  EXPECT_TRUE(tr_->Active());
  tr_->Commit();
  EXPECT_EQ(Rows(), "1=one,2=two");
}

TEST_F(Transaction, RefusedCommitLeavesTheTransactionActive) {
  std::vector<std::string> log;
  TRecorder statement("s", log);
  tr_->RegisterStatement(&statement);
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (2, 'two')");
  ExecIn(*db_, *tr_,
         "EXECUTE BLOCK AS DECLARE X INTEGER; BEGIN X = RDB$SET_CONTEXT('USER_TRANSACTION', 'REFUSE', '1'); END");
  log.clear();
  try {
    tr_->Commit();
    FAIL() << "no exception";
  } catch (const EFbServerError& error) {
    EXPECT_EQ(error.Message().rfind("Form2.Tr:\r\n", 0), 0u) << error.Message();
    EXPECT_NE(error.Message().find("\r\nCommit refused by trigger.\r\n"), std::string::npos) << error.Message();
    EXPECT_EQ(error.Raiser(), tr_);
  }
  EXPECT_TRUE(tr_->Active());
  EXPECT_EQ(tr_->EndState(), kEndStateActive);
  // Results were closed ("ending" with the committing state), but no "ended".
  EXPECT_EQ(log, (std::vector<std::string>{"s:ending4+"}));
  tr_->Rollback();
  EXPECT_FALSE(tr_->Active());
  EXPECT_EQ(Rows(), "1=one");
  tr_->UnregisterStatement(&statement);
}

TEST_F(Transaction, ForcedCommitThatFailsRollsBackQuietly) {
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (2, 'two')");
  ExecIn(*db_, *tr_,
         "EXECUTE BLOCK AS DECLARE X INTEGER; BEGIN X = RDB$SET_CONTEXT('USER_TRANSACTION', 'REFUSE', '1'); END");
  EXPECT_NO_THROW(tr_->EndTransaction(TACommit, true));
  EXPECT_FALSE(tr_->Active());
  EXPECT_EQ(tr_->EndState(), kEndStateInactive);
  EXPECT_EQ(Rows(), "1=one");
  db_->Close(); // the attachment has no transaction left behind
  EXPECT_FALSE(db_->Connected());
}

TEST_F(Transaction, RefusedStartLeavesItInactive) {
  tr_->SetTPBMode(tpbDefault);
  tr_->TRParams().Assign({"write", "nowait", "consistency", "lock_write=NO_SUCH_TABLE"});
  try {
    tr_->StartTransaction();
    FAIL() << "no exception";
  } catch (const EFbServerError& error) {
    EXPECT_EQ(error.Message().rfind("Form2.Tr:\r\n", 0), 0u) << error.Message();
    EXPECT_NE(error.Message().find("NO_SUCH_TABLE"), std::string::npos) << error.Message();
  }
  EXPECT_FALSE(tr_->Active());
  EXPECT_EQ(tr_->Handle(), 0u);
  tr_->TRParams().Assign({"write", "nowait", "consistency", "lock_write=T"});
  tr_->StartTransaction();
  EXPECT_TRUE(tr_->Active());
  tr_->Rollback();
}

TEST_F(Transaction, UnencodableLineStartsNothing) {
  tr_->SetTPBMode(tpbDefault);
  tr_->TRParams().Assign({"write", "autocommit"});
  EXPECT_EQ(MessageOf([&] { tr_->StartTransaction(); }), "TPB Constant (isc_tpb_autocommit) is unsupported.");
  EXPECT_FALSE(tr_->Active());
}

TEST_F(Transaction, SecondWriterFailsAtOnceOnALockedRow) {
  TFbDatabase db2;
  Configure(db2);
  db2.SetName("DB2");
  TFbTransaction tr2;
  tr2.SetName("Tr2");
  tr2.SetDefaultDatabase(&db2);
  db2.Open();
  tr_->StartTransaction();
  tr2.StartTransaction();
  ExecIn(*db_, *tr_, "UPDATE T SET V = 'first' WHERE ID = 1");
  try {
    ExecIn(db2, tr2, "UPDATE T SET V = 'second' WHERE ID = 1");
    FAIL() << "no exception";
  } catch (const EFbServerError& error) {
    std::cout << "Lock conflict text:\n" << error.Message() << "\n";
    // The engine reports a no-wait conflict on a record version as a
    // deadlock whose detail is the update conflict.
    EXPECT_EQ(error.ErrorCode(), isc_deadlock);
    EXPECT_EQ(error.SQLCode(), -913);
    EXPECT_EQ(error.Message().rfind("Tr2:\r\nDeadlock.\r\n", 0), 0u);
    EXPECT_NE(error.Message().find("\r\nUpdate conflicts with concurrent update.\r\n"), std::string::npos);
  }
  EXPECT_TRUE(tr2.Active());
  tr2.Rollback();
  tr_->Commit();
  EXPECT_EQ(Rows(), "1=first");
}

TEST_F(Transaction, SpansTwoConnections) {
  test::TestDatabase other("second");
  other.Execute("CREATE TABLE U (ID INTEGER)");
  TFbDatabase db2;
  db2.SetDBName(other.Path());
  for (const auto& line : test::TestDBParams()) db2.DBParams().Add(line);
  db2.Open();
  tr_->AddDatabase(&db2);
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (5, 'five')");
  ExecIn(db2, *tr_, "INSERT INTO U (ID) VALUES (5)");
  tr_->Commit();
  EXPECT_EQ(Rows(), "1=one,5=five");
  EXPECT_EQ(other.Scalar("SELECT COUNT(*) FROM U"), "1");
  tr_->RemoveDatabase(&db2);
}

struct TGuardCase {
  const char* title;
  bool active;
  std::function<void(TFbTransaction&, TFbDatabase&)> action;
  std::string message;
};

class TransactionGuard : public Transaction, public ::testing::WithParamInterface<TGuardCase> {};

TEST_P(TransactionGuard, RefusesWithItsMessage) {
  if (GetParam().active) tr_->StartTransaction();
  EXPECT_EQ(MessageOf([&] { GetParam().action(*tr_, *db_); }), GetParam().message);
  EXPECT_EQ(tr_->Active(), GetParam().active);
}

INSTANTIATE_TEST_SUITE_P(
    Guards, TransactionGuard,
    ::testing::Values(TGuardCase{"CommitInactive", false, [](TFbTransaction& tr, TFbDatabase&) { tr.Commit(); },
                                 "Form2.Tr :Transaction is not active."},
                      TGuardCase{"RollbackRetainingInactive", false,
                                 [](TFbTransaction& tr, TFbDatabase&) { tr.RollbackRetaining(); },
                                 "Form2.Tr :Transaction is not active."},
                      TGuardCase{"ParamsWhileActive", true,
                                 [](TFbTransaction& tr, TFbDatabase&) { tr.TRParams().Add("read"); },
                                 "Form2.Tr :Transaction is active."},
                      TGuardCase{"DefaultDatabaseWhileActive", true,
                                 [](TFbTransaction& tr, TFbDatabase&) { tr.SetDefaultDatabase(nullptr); },
                                 "Form2.Tr :Transaction is active."},
                      TGuardCase{"NoDatabases", false,
                                 [](TFbTransaction& tr, TFbDatabase& db) {
                                   tr.SetDefaultDatabase(nullptr);
                                   tr.RemoveDatabase(&db);
                                   tr.StartTransaction();
                                 },
                                 "Form2.Tr :No databases are listed in transaction component."},
                      TGuardCase{"DatabaseClosed", false,
                                 [](TFbTransaction& tr, TFbDatabase& db) {
                                   db.Close();
                                   tr.StartTransaction();
                                 },
                                 "Form2.DB: Cannot perform operation -- DB is not open."},
                      TGuardCase{"OtherClientLibrary", false,
                                 [](TFbTransaction& tr, TFbDatabase& db) {
                                   TFbDatabase other(db.Owner());
                                   other.SetLibraryName("fbclient.dll");
                                   tr.AddDatabase(&other);
                                 },
                                 "Form2.Tr.\r\nTransaction can't work with different client library."},
                      TGuardCase{"NegativeTimeout", false, [](TFbTransaction& tr, TFbDatabase&) { tr.SetTimeout(-1); },
                                 "Timeout values cannot be negative."},
                      TGuardCase{"SharedEndNotForced", true,
                                 [](TFbTransaction& tr, TFbDatabase&) {
                                   tr.SetShared(true);
                                   tr.SetTimeoutAction(TARollback);
                                   try {
                                     tr.Commit();
                                   } catch (...) {
                                     tr.SetShared(false);
                                     throw;
                                   }
                                 },
                                 "Can't end a shared transaction unless it is forced and equal to the transaction's "
                                 "TimeoutAction."}),
    [](const auto& info) { return std::string(info.param.title); });

TEST_F(Transaction, StatementsAndListenersAreToldInOrder) {
  std::vector<std::string> log;
  TRecorder a("a", log), b("b", log);
  tr_->RegisterStatement(&a);
  tr_->RegisterStatement(&b);
  tr_->AddListener(&a);
  tr_->AddListener(&b);
  tr_->StartTransaction();
  tr_->StartTransaction(); // already active: nothing
  EXPECT_EQ(log, (std::vector<std::string>{"a:starting1-", "b:starting1-", "b:before-start", "a:before-start",
                                           "b:after-start", "a:after-start", "a:started1+", "b:started1+"}));
  log.clear();
  tr_->CommitRetaining();
  EXPECT_EQ(log, (std::vector<std::string>{"b:ending5+", "a:ending5+", "a:before-end", "b:before-end", "b:ended5+",
                                           "a:ended5+", "a:after-end", "b:after-end"}));
  log.clear();
  tr_->RollbackRetaining();
  EXPECT_EQ(log.front(), "b:ending3+");
  log.clear();
  tr_->Commit();
  EXPECT_EQ(log, (std::vector<std::string>{"b:ending4+", "a:ending4+", "a:before-end", "b:before-end", "b:ended4-",
                                           "a:ended4-", "a:after-end", "b:after-end"}));
  log.clear();
  tr_->StartTransaction();
  log.clear();
  tr_->Rollback();
  EXPECT_EQ(log.front(), "b:ending2+");
  log.clear();
  tr_->UnregisterStatement(&a);
  tr_->RemoveListener(&a);
  tr_->RemoveListener(&b);
  delete tr_;
  tr_ = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"b:freed"}));
}

TEST_F(Transaction, HandlersRunAroundTheWork) {
  std::vector<std::string> log;
  db_->BeforeStartTransaction = [&](TFbCustomTransaction&) { log.push_back("db-before-start"); };
  db_->AfterStartTransaction = [&](TFbCustomTransaction& tr) { log.push_back(tr.Active() ? "db-after-start+" : "?"); };
  db_->BeforeEndTransaction = [&](TFbCustomTransaction&, int action, bool force) {
    log.push_back("db-before-end" + std::to_string(action) + (force ? "f" : ""));
  };
  db_->AfterEndTransaction = [&](TFbCustomTransaction&, int, bool) { log.push_back("db-after-end"); };
  tr_->BeforeStart = [&](TFbTransaction&) { log.push_back("before-start"); };
  tr_->AfterStart = [&](TFbTransaction&) { log.push_back("after-start"); };
  tr_->BeforeEnd = [&](TFbTransaction&, TTransactionAction, bool) { log.push_back("before-end"); };
  tr_->AfterEnd = [&](TFbTransaction& tr, TTransactionAction, bool) { log.push_back(tr.Active() ? "?" : "after-end"); };
  tr_->StartTransaction();
  tr_->Commit();
  EXPECT_EQ(log, (std::vector<std::string>{"db-before-start", "before-start", "after-start", "db-after-start+",
                                           "db-before-end2", "before-end", "after-end", "db-after-end"}));
  std::vector<std::string> executes;
  tr_->BeforeSQLExecute = [&](TFbTransaction&, TComponent* s) { executes.push_back(s->Name() + ":before"); };
  tr_->AfterSQLExecute = [&](TFbTransaction&, TComponent* s) { executes.push_back(s->Name() + ":after"); };
  TComponent query;
  query.SetName("Q");
  tr_->SQLExecuteNotify(&query, 0);
  tr_->SQLExecuteNotify(&query, 1);
  EXPECT_EQ(executes, (std::vector<std::string>{"Q:before", "Q:after"}));
}

struct TEndCase {
  const char* title;
  TTransactionAction timeoutAction;
  bool closeDatabase; // else destroy the transaction
  std::string rows;
};

class EndWithTimeoutAction : public Transaction, public ::testing::WithParamInterface<TEndCase> {};

TEST_P(EndWithTimeoutAction, WhenItsConnectionClosesOrItIsDestroyed) {
  tr_->SetTimeoutAction(GetParam().timeoutAction);
  tr_->StartTransaction();
  ExecIn(*db_, *tr_, "INSERT INTO T (ID, V) VALUES (2, 'two')");
  if (GetParam().closeDatabase) {
    db_->Close();
    EXPECT_FALSE(tr_->Active());
  } else {
    delete tr_;
    tr_ = nullptr;
    EXPECT_EQ(db_->DefaultTransaction(), nullptr);
    EXPECT_EQ(db_->TransactionCount(), 1); // the internal one
  }
  EXPECT_EQ(Rows(), GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(Actions, EndWithTimeoutAction,
                         ::testing::Values(TEndCase{"DestroyRollback", TARollback, false, "1=one"},
                                           TEndCase{"DestroyRollbackRetaining", TARollbackRetaining, false, "1=one"},
                                           TEndCase{"DestroyCommit", TACommit, false, "1=one,2=two"},
                                           TEndCase{"DestroyCommitRetaining", TACommitRetaining, false, "1=one,2=two"},
                                           TEndCase{"CloseRollback", TARollback, true, "1=one"},
                                           TEndCase{"CloseCommit", TACommit, true, "1=one,2=two"},
                                           TEndCase{"CloseCommitRetaining", TACommitRetaining, true, "1=one,2=two"}),
                         [](const auto& info) { return std::string(info.param.title); });

TEST_F(Transaction, ConnectionDestroyedFirstIsForgotten) {
  tr_->StartTransaction();
  delete db_;
  db_ = nullptr;
  EXPECT_FALSE(tr_->Active());
  EXPECT_EQ(tr_->DefaultDatabase(), nullptr);
  EXPECT_EQ(tr_->DatabaseCount(), 0);
  EXPECT_EQ(MessageOf([&] { tr_->StartTransaction(); }), "Form2.Tr :No databases are listed in transaction component.");
}

} // namespace
} // namespace od
