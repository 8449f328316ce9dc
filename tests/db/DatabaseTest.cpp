#include "db/Database.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include "db/ClientLibrary.h"
#include "db/FbErrors.h"
#include "db/Transaction.h"
#include "tests/db/support/MessageOf.h"
#include "tests/db/support/TestDatabase.h"

namespace od {
namespace {

using test::MessageOf;

// Stands in for a statement: records what the connection tells it.
class TRecorder : public IFbStatementLink, public IFbDatabaseListener {
public:
  explicit TRecorder(std::string tag, std::vector<std::string>& log) : tag_(std::move(tag)), log_(log) {}
  void DatabaseEvent(TFbCustomDatabase& db, TFbDatabaseEvent event) override {
    static const char* names[] = {"connecting", "connected", "disconnecting", "disconnected"};
    log_.push_back(tag_ + ":" + names[static_cast<int>(event)] + (db.Connected() ? "+" : "-"));
  }
  void DatabaseFreed(TFbCustomDatabase&) noexcept override { log_.push_back(tag_ + ":freed"); }
  void TransactionEvent(TFbCustomTransaction&, TFbTransactionEvent) override {}
  void TransactionFreed(TFbCustomTransaction&) noexcept override {}
  void AfterConnect(TFbCustomDatabase&) override { log_.push_back(tag_ + ":after-connect"); }
  void BeforeDisconnect(TFbCustomDatabase&) override { log_.push_back(tag_ + ":before-disconnect"); }
  void DatabaseDestroying(TFbCustomDatabase&) noexcept override { log_.push_back(tag_ + ":destroying"); }

private:
  std::string tag_;
  std::vector<std::string>& log_;
};

class Database : public ::testing::Test {
protected:
  void SetUp() override {
    form_.SetName("Form2");
    db_->SetName("DB");
    Configure(*db_, file_->Path());
  }

  static void Configure(TFbCustomDatabase& db, const std::string& path, std::string_view charset = "WIN1251") {
    db.SetDBName(path);
    for (const auto& line : test::TestDBParams(charset)) db.DBParams().Add(line);
    db.SetSQLDialect(3);
  }

  std::unique_ptr<test::TestDatabase> file_ = std::make_unique<test::TestDatabase>("connection");
  TComponent form_;
  TFbDatabase* db_ = new TFbDatabase(&form_);
};

TEST_F(Database, AttachAndDetach) {
  EXPECT_FALSE(db_->Connected());
  db_->Open();
  EXPECT_TRUE(db_->Connected());
  EXPECT_NE(db_->Handle(), 0u);
  EXPECT_EQ(db_->ClientLibrary(), AcquireClientLibrary("gds32.dll"));
  // The block of the program's lines, with this test's password.
  EXPECT_EQ(db_->SQLDialect(), 3);
  db_->Close();
  EXPECT_FALSE(db_->Connected());
  EXPECT_EQ(db_->Handle(), 0u);
}

TEST_F(Database, OpenTwiceAndCloseTwiceAreHarmless) {
  db_->Open();
  const TFbHandle handle = db_->Handle();
  db_->Open();
  EXPECT_EQ(db_->Handle(), handle);
  db_->SetConnected(false);
  db_->Close();
  EXPECT_FALSE(db_->Connected());
  db_->SetConnected(true);
  EXPECT_TRUE(db_->Connected());
}

TEST_F(Database, WrongPathRaisesServerErrorNamedAfterTheConnection) {
  db_->SetDBName(test::TestRunDirectory() + "/missing/nothing.fdb");
  try {
    db_->Open();
    FAIL() << "no exception";
  } catch (const EFbServerError& error) {
    EXPECT_EQ(error.Message().rfind("Form2.DB:\r\n", 0), 0u) << error.Message();
    EXPECT_EQ(error.Raiser(), db_);
    EXPECT_EQ(error.ErrorCode(), isc_io_error);
    EXPECT_NE(error.ServerMessage().find("nothing.fdb"), std::string::npos);
  }
  EXPECT_FALSE(db_->Connected());
  // A failed open can be followed by a good one.
  db_->SetDBName(file_->Path());
  db_->Open();
  EXPECT_TRUE(db_->Connected());
}

TEST_F(Database, WrongCharacterSetIsRefusedByTheServer) {
  db_->DBParams().Put(2, "lc_ctype=NO_SUCH_SET");
  EXPECT_THROW(db_->Open(), EFbServerError);
  EXPECT_FALSE(db_->Connected());
}

TEST_F(Database, UnencodableParameterAttachesNothing) {
  db_->DBParams().Add("page_size=4096");
  EXPECT_EQ(MessageOf([&] { db_->Open(); }), "DPB Constant (isc_dpb_page_size) is unsupported.");
  EXPECT_FALSE(db_->Connected());
}

TEST_F(Database, EmptyNameIsMissing) {
  db_->SetDBName("");
  EXPECT_EQ(MessageOf([&] { db_->Open(); }), "Database name is missing.");
}

TEST_F(Database, DialectOneDatabaseLowersTheDialect) {
  test::TestDatabase old("dialect1", 1);
  TFbDatabase db;
  Configure(db, old.Path());
  db.Open();
  EXPECT_EQ(db.DatabaseSQLDialect(), 1);
  EXPECT_EQ(db.SQLDialect(), 1);
  EXPECT_TRUE(db.UseUpperNames());
  EXPECT_EQ(MessageOf([&] { db.SetSQLDialect(3); }), "SQL Dialect invalid");
  db.SetSQLDialect(1);
}

TEST_F(Database, HigherDatabaseDialectKeepsTheSetting) {
  db_->SetSQLDialect(1);
  db_->Open();
  EXPECT_EQ(db_->DatabaseSQLDialect(), 3);
  EXPECT_EQ(db_->SQLDialect(), 1);
  db_->SetSQLDialect(3);
  EXPECT_EQ(db_->SQLDialect(), 3);
  EXPECT_FALSE(db_->UseUpperNames());
}

TEST_F(Database, DialectBelowOneIsInvalid) {
  EXPECT_EQ(MessageOf([&] { db_->SetSQLDialect(0); }), "SQL Dialect invalid");
  EXPECT_EQ(db_->SQLDialect(), 3);
}

TEST_F(Database, ServerVersionIsRead) {
  db_->Open();
  EXPECT_EQ(db_->ServerMajorVersion(), 3);
  EXPECT_EQ(db_->ServerMinorVersion(), 0);
  EXPECT_GE(db_->ServerRelease(), 0);
  EXPECT_GT(db_->ServerBuild(), 0);
  EXPECT_NE(db_->DatabaseInfoString(isc_info_firebird_version).find("Firebird"), std::string::npos);
  EXPECT_EQ(db_->Utf8CharSetIds(), (std::vector<int>{3, 4}));
  db_->Close();
  EXPECT_EQ(db_->Utf8CharSetIds(), (std::vector<int>{3}));
}

TEST_F(Database, InformationNeedsTheAttachment) {
  EXPECT_EQ(MessageOf([&] { db_->DatabaseInfoInteger(isc_info_base_level); }),
            "Form2.DB: Cannot perform operation -- DB is not open.");
}

TEST_F(Database, SettingsAreGuardedWhileOpen) {
  db_->Open();
  const std::string open = "Cannot perform operation -- DB is currently open.";
  EXPECT_EQ(MessageOf([&] { db_->SetDBName("other.fdb"); }), open);
  EXPECT_EQ(MessageOf([&] { db_->SetLibraryName("fbclient.dll"); }), open);
  EXPECT_EQ(MessageOf([&] { db_->DBParams().Add("password=x"); }), open);
  EXPECT_EQ(MessageOf([&] { db_->DBParams().Put(0, "user_name=X"); }), open);
  EXPECT_EQ(MessageOf([&] { db_->DBParams().Clear(); }), open);
  EXPECT_EQ(db_->DBName(), file_->Path());
  EXPECT_EQ(db_->DBParams().Count(), 3);
  db_->Close();
  db_->DBParams().Put(1, "password=" + std::string(test::kTestPassword));
}

TEST_F(Database, LibraryNameChangeDropsTheLibrary) {
  db_->Open();
  db_->Close();
  ASSERT_NE(db_->ClientLibrary(), nullptr);
  db_->SetLibraryName("gds32.dll");
  EXPECT_NE(db_->ClientLibrary(), nullptr);
  db_->SetLibraryName("fbclient.dll");
  EXPECT_EQ(db_->ClientLibrary(), nullptr);
  db_->Open();
  EXPECT_EQ(db_->ClientLibrary()->LibraryName(), "fbclient.dll");
}

struct TCharSetCase {
  const char* charset;
  bool utf8;
  bool utf8OrNone;
  bool koi8;
  bool unicodeMetadata;
};

class CharSetFacts : public ::testing::TestWithParam<TCharSetCase> {};

TEST_P(CharSetFacts, FromDBParamsWhileClosedAndFromTheServerWhileOpen) {
  const TCharSetCase& c = GetParam();
  test::TestDatabase file("charset");
  TFbDatabase db;
  db.SetDBName(file.Path());
  for (const auto& line : test::TestDBParams(c.charset)) db.DBParams().Add(line);
  EXPECT_EQ(db.Utf8Connection(), c.utf8);
  EXPECT_EQ(db.Utf8OrNoneConnection(), c.utf8OrNone);
  EXPECT_EQ(db.Koi8Connection(), c.koi8);
  EXPECT_FALSE(db.UnicodeMetadata());
  db.Open();
  EXPECT_EQ(db.Utf8Connection(), c.utf8);
  EXPECT_EQ(db.Utf8OrNoneConnection(), c.utf8OrNone);
  EXPECT_EQ(db.Koi8Connection(), c.koi8);
  EXPECT_EQ(db.UnicodeMetadata(), c.unicodeMetadata);
}

INSTANTIATE_TEST_SUITE_P(Sets, CharSetFacts,
                         ::testing::Values(TCharSetCase{"WIN1251", false, false, false, false},
                                           TCharSetCase{"UTF8", true, true, false, true},
                                           TCharSetCase{"UNICODE_FSS", true, true, false, true},
                                           TCharSetCase{"NONE", false, true, false, true},
                                           TCharSetCase{"KOI8R", false, false, true, false},
                                           TCharSetCase{"KOI8U", false, false, true, false}),
                         [](const auto& info) { return std::string(info.param.charset); });

TEST_F(Database, EmptyCharacterSetLineCountsAsNone) {
  db_->DBParams().Delete(2);
  EXPECT_TRUE(db_->Utf8OrNoneConnection());
  EXPECT_FALSE(db_->Utf8Connection());
}

TEST_F(Database, StatementsAndListenersAreToldInOrder) {
  std::vector<std::string> log;
  TRecorder a("a", log), b("b", log);
  db_->RegisterStatement(&a);
  db_->RegisterStatement(&b);
  db_->RegisterStatement(&a); // once only
  db_->AddListener(&a);
  db_->AddListener(&b);
  db_->OnConnect = [&](TFbCustomDatabase&) { log.push_back("on-connect"); };
  db_->BeforeDisconnect = [&](TFbCustomDatabase&) { log.push_back("before-disconnect"); };
  db_->AfterDisconnect = [&](TFbCustomDatabase& db) { log.push_back(db.Connected() ? "after+" : "after-"); };
  db_->Open();
  db_->Open(); // nothing more
  db_->Close();
  db_->Close(); // nothing more
  EXPECT_EQ(log, (std::vector<std::string>{"a:connecting-", "b:connecting-", "a:connected+", "b:connected+",
                                           "on-connect", "a:after-connect", "b:after-connect", "before-disconnect",
                                           "a:before-disconnect", "b:before-disconnect", "a:disconnecting+",
                                           "b:disconnecting+", "a:disconnected-", "b:disconnected-", "after-"}));
  log.clear();
  db_->UnregisterStatement(&b);
  db_->RemoveListener(&a);
  delete db_;
  db_ = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"b:destroying", "a:freed"}));
}

TEST_F(Database, BeforeConnectMaySkipTheAttach) {
  db_->BeforeConnect = [](TFbDatabase&, TDBParams& params, bool& proceed) {
    EXPECT_EQ(params.Count(), 3);
    proceed = false;
  };
  db_->Open();
  EXPECT_FALSE(db_->Connected());
  db_->BeforeConnect = [](TFbDatabase&, TDBParams&, bool&) {};
  db_->Open();
  EXPECT_TRUE(db_->Connected());
}

TEST_F(Database, FailingDisconnectHandlerIsReportedAndKeepsTheConnection) {
  db_->Open();
  db_->BeforeDisconnect = [](TFbCustomDatabase&) { throw Exception("boom"); };
  EXPECT_EQ(MessageOf([&] { db_->Close(); }), "Error of Form2.DB.BeforeDisconnect. boom");
  EXPECT_TRUE(db_->Connected());
  db_->BeforeDisconnect = nullptr;
  db_->AfterDisconnect = [](TFbCustomDatabase&) { throw Exception("late"); };
  EXPECT_EQ(MessageOf([&] { db_->Close(); }), "Error of Form2.DB.AfterDisconnect. late");
  EXPECT_FALSE(db_->Connected());
}

TEST_F(Database, LoginPromptWithoutDialogCountsAsCancelled) {
  db_->SetUseLoginPrompt(true);
  EXPECT_EQ(MessageOf([&] { db_->Open(); }), "Operation cancelled at user's request.");
  EXPECT_FALSE(db_->Connected());
}

TEST_F(Database, ConnectionsAreListedWhileTheyLive) {
  auto contains = [](TFbCustomDatabase* db) {
    const auto all = TFbCustomDatabase::Databases();
    return std::find(all.begin(), all.end(), db) != all.end();
  };
  auto* other = new TFbCustomDatabase();
  EXPECT_TRUE(contains(other));
  EXPECT_TRUE(contains(db_));
  delete other;
  EXPECT_FALSE(contains(other));
}

TEST_F(Database, DestroyingAnOpenConnectionDetaches) {
  db_->Open();
  const std::string attachments = "SELECT COUNT(*) FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION "
                                  "AND MON$SYSTEM_FLAG = 0";
  EXPECT_EQ(file_->Scalar(attachments), "1");
  delete db_;
  db_ = nullptr;
  EXPECT_EQ(file_->Scalar(attachments), "0");
}

// A transaction the connection does not know about makes the server refuse
// the detach; the refusal also shuts the attachment down.
isc_tr_handle StartStrayTransaction(TFbCustomDatabase& db) {
  isc_tr_handle stray = 0;
  struct {
    isc_db_handle* db;
    ISC_LONG length;
    const char* tpb;
  } teb{db.HandleAddress(), 0, nullptr};
  EXPECT_EQ(db.ClientLibrary()->isc_start_multiple(StatusVector(), &stray, 1, &teb), 0);
  return stray;
}

void ReleaseLeftovers(IIBClientLibrary& library, isc_tr_handle stray, isc_db_handle attachment) {
  library.isc_rollback_transaction(StatusVector(), &stray);
  library.isc_detach_database(StatusVector(), &attachment);
}

TEST_F(Database, FailedDetachStillLeavesTheConnectionClosed) {
  db_->Open();
  const isc_tr_handle stray = StartStrayTransaction(*db_);
  const isc_db_handle attachment = db_->Handle();
  std::vector<std::string> log;
  db_->AfterDisconnect = [&](TFbCustomDatabase& db) { log.push_back(db.Connected() ? "open" : "closed"); };
  EXPECT_NO_THROW(db_->Close());
  EXPECT_FALSE(db_->Connected());
  EXPECT_EQ(log, (std::vector<std::string>{"closed"}));
  ReleaseLeftovers(*db_->ClientLibrary(), stray, attachment);
}

TEST_F(Database, LostConnectionIsNoticedWhenClosing) {
  db_->Open();
  TFbTransaction tr;
  tr.SetDefaultDatabase(db_);
  tr.StartTransaction();
  std::vector<std::string> log;
  TRecorder statement("s", log);
  db_->RegisterStatement(&statement);
  const isc_tr_handle stray = StartStrayTransaction(*db_);
  isc_db_handle attachment = db_->Handle();
  isc_db_handle copy = attachment;
  EXPECT_EQ(db_->ClientLibrary()->isc_detach_database(StatusVector(), &copy), isc_open_trans);
  db_->OnLostConnect = [&](TFbDatabase& db) { log.push_back(db.Connected() ? "lost+" : "lost-"); };
  db_->AfterDisconnect = [&](TFbCustomDatabase&) { log.push_back("after-disconnect"); };
  EXPECT_NO_THROW(db_->Close());
  EXPECT_FALSE(db_->Connected());
  EXPECT_FALSE(tr.Active());
  EXPECT_EQ(log, (std::vector<std::string>{"s:disconnected-", "lost-"}));
  db_->UnregisterStatement(&statement);
  ReleaseLeftovers(*db_->ClientLibrary(), stray, attachment);
}

TEST_F(Database, InternalTransactionUsesTheConnection) {
  TFbCustomTransaction& internal = db_->InternalTransaction();
  EXPECT_EQ(internal.DefaultDatabase(), db_);
  EXPECT_EQ(internal.TRParams().Text(), "write\r\nisc_tpb_nowait\r\nread_committed\r\nrec_version\r\n");
  EXPECT_EQ(db_->TransactionCount(), 1);
  db_->Open();
  internal.StartTransaction();
  EXPECT_EQ(internal.ParamBlock(), std::string("\x03\x09\x07\x0f\x11", 5));
  // Closing ends it by its TimeoutAction.
  db_->Close();
  EXPECT_FALSE(internal.Active());
}

// The time query belongs to the statement side; the hook lets it take part.
std::vector<std::string> gQueries;
TFbValue FakeServerTime(TFbCustomDatabase& db, const std::string& sql, int column) {
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(column, 0);
  gQueries.push_back(sql);
  return 0.0; // 30 December 1899
}

TEST_F(Database, TimeIsSynchronisedThroughTheStatementSide) {
  test::TestDatabase old("dialect1-time", 1);
  TFbDatabase db1;
  Configure(db1, old.Path());
  gQueries.clear();
  TFbCustomDatabase::SetQueryValueHandler(FakeServerTime);
  db_->Open();
  db1.Open();
  db1.Close();
  db1.SetSynchronizeTime(false);
  db1.Open();
  TFbCustomDatabase::SetQueryValueHandler(nullptr);
  EXPECT_EQ(gQueries, (std::vector<std::string>{"SELECT CAST('NOW' AS TIMESTAMP) from RDB$DATABASE",
                                                "SELECT CAST('NOW' AS DATE) from RDB$DATABASE"}));
  EXPECT_GT(db_->TimeDifference(), 40000.0); // any date since 2009
  EXPECT_EQ(db1.TimeDifference(), 0.0);
}

TEST_F(Database, QueryValueNeedsTheStatementSide) {
  TFbCustomDatabase::SetQueryValueHandler(nullptr);
  db_->Open();
  EXPECT_EQ(db_->TimeDifference(), 0.0);
  EXPECT_EQ(MessageOf([&] { db_->QueryValue("SELECT 1 FROM RDB$DATABASE", 0); }), "Unsupported feature.");
}

} // namespace
} // namespace od

namespace od {
namespace {

// A program that ends with a connection still attached and a transaction
// still running must still end cleanly: the engine is stopped before the
// client library's own clean-up, with no crash and no hang.
TFbDatabase* gLeftOpen = nullptr;

TEST(DatabaseAtExit, OpenConnectionDoesNotDisturbTheEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::TestDatabase file("at-exit");
  EXPECT_EXIT(
      {
        gLeftOpen = new TFbDatabase();
        gLeftOpen->SetDBName(file.Path());
        for (const auto& line : test::TestDBParams()) gLeftOpen->DBParams().Add(line);
        gLeftOpen->Open();
        auto* tr = new TFbTransaction(gLeftOpen);
        tr->SetDefaultDatabase(gLeftOpen);
        tr->StartTransaction();
        std::exit(gLeftOpen->Connected() && tr->Active() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

void MarkSignal(int) {}

TEST(ClientSignalHandling, SettledAtStartItLeavesTheProgramsHandlerToLaterAttaches) {
  // A process of its own: the client library sets up its handling once per
  // process, on the first attach.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SettleClientSignalHandling();
        struct sigaction mark {};
        mark.sa_handler = &MarkSignal;
        sigaction(SIGTERM, &mark, nullptr);
        TFbDatabase db;
        db.SetDBName(test::TestRunDirectory() + "/missing/nothing.fdb");
        try {
          db.Open();
        } catch (const EFbServerError&) {
        }
        struct sigaction now {};
        sigaction(SIGTERM, nullptr, &now);
        // Without the exit handlers: the answer is the status, and the
        // engine's threads need not wind down for it.
        std::_Exit(now.sa_handler == &MarkSignal && (now.sa_flags & SA_SIGINFO) == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace od
