// The walk's UPDATEs in blocks: whatever the database does with each goods
// line, a run that sends its UPDATEs seven at a time leaves the same rows,
// the same report and the same view behind as one that sends them one at a
// time. Real databases on the embedded engine and behind a private server
// on a loopback port, a real order service.
#include "run/GoodsLineWriter.h"
#include "base/Component.h"
#include "base/Exception.h"
#include "db/Query.h"
#include "demo/OrderService.h"
#include "run/RestorationRun.h"
#include "tests/db/support/TestDatabase.h"
#include "tests/server/support/FirebirdServer.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/LocaleFormats.h"
#include "window/Form2Description.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace od {
namespace {

// Everything the run shows, call by call.
class TLoggingView : public IRunView {
public:
  std::vector<std::string> Calls;
  // The event pass (1-based) at which a handler fails; 0: none does.
  int FailAtEvents = 0;

  void SetStatusText(const std::string& text) override { Calls.push_back("text " + Cp1251ToUtf8(text)); }
  void SetBarMaximum(int maximum) override { Calls.push_back("maximum " + std::to_string(maximum)); }
  void StepBar() override { Calls.push_back("step"); }
  void ShowState() override { Calls.push_back("show"); }
  void RepaintNow() override {}
  void ProcessPendingEvents() override {
    if (++events_ == FailAtEvents) throw Exception("an event handler failed");
  }
  void ShowFinalMessage(const std::string& text, const std::string& details) override {
    Calls.push_back("final " + Cp1251ToUtf8(text) + "|" + Cp1251ToUtf8(details));
  }
  void ShowError(const std::exception& error) override { Calls.push_back("error " + std::string(error.what())); }
  void EndProgram() override { Calls.push_back("end"); }

private:
  int events_ = 0;
};

// What one run left: the rows, the report, the view, how it ended.
struct TOutcome {
  std::vector<std::vector<std::string>> Rows;
  std::vector<std::string> Report;
  std::vector<std::string> View;
  TRunState State = TRunState::Waiting;
  bool operator==(const TOutcome&) const = default;
};

void PrintTo(const TOutcome& outcome, std::ostream* out) {
  *out << "\nreport:";
  for (const std::string& line : outcome.Report) *out << "\n  " << line;
  *out << "\nrows:";
  for (const std::vector<std::string>& row : outcome.Rows) *out << " (" << row.at(0) << " " << row.at(2) << ")";
  *out << "\nview: " << outcome.View.size() << " calls, state " << static_cast<int>(outcome.State) << "\n";
}

// One case: the table and its goods lines (every table has POS, the order
// the goods lines are walked in within an order), and what the run is told.
struct TBatchCase {
  const char* Name;
  int Dialect = 3;
  std::vector<std::string> Schema{};
  // The UPDATE, when not the program's own.
  std::vector<std::string> Update{};
  // Committed by another attachment while the first order is asked, after
  // the run's transaction has started: the row it changes is one the run
  // cannot write.
  const char* Conflict = nullptr;
  // What the report of the one-at-a-time run must hold, so that the case
  // shows what it is named after.
  const char* Expect = nullptr;
  // Goods lines whose UPDATE went through alone with blocks: those of a
  // block that failed as a whole.
  std::int64_t WrittenAlone = 0;
};

void PrintTo(const TBatchCase& c, std::ostream* out) { *out << c.Name; }

// Order n is sent on day n % 28 + 1 of March; order 13 is not known, order
// 14 has no date.
demo::TServiceReply Answer(const std::string& order) {
  if (order == "13") return demo::TOrderService::TextReply(404, "");
  if (order == "14") return demo::TOrderService::TextReply(200, "Заказ не найден\r\n");
  char date[32];
  std::snprintf(date, sizeof date, "%02d.03.2024 14:07:09\r\n", std::stoi(order) % 28 + 1);
  return demo::TOrderService::TextReply(200, date);
}

// The goods lines `from` to `to` (keys and POS alike) of `order`.
std::string Goods(int from, int to, int order) {
  std::string sql = "EXECUTE BLOCK AS DECLARE I INTEGER = " + std::to_string(from) +
                    "; BEGIN WHILE (I <= " + std::to_string(to) +
                    ") DO BEGIN INSERT INTO TBL_ZAKAZ_TOVARS (ID, POS, ZAKAZ_ID) VALUES (:I, :I, " +
                    std::to_string(order) + "); I = I + 1; END END";
  return sql;
}

// Goods lines of several orders, one of them with more goods lines than a
// block holds, 31 in all: the last block is a partial one.
std::vector<std::string> WithGoods(std::vector<std::string> schema) {
  for (const std::string& sql : {Goods(1, 3, 7), Goods(4, 13, 9), Goods(14, 15, 13), Goods(16, 16, 0),
                                 Goods(17, 20, 14), Goods(21, 29, 21), Goods(30, 31, 22)})
    schema.push_back(sql);
  return schema;
}

const std::string kTable = "CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, POS INTEGER, ZAKAZ_ID INTEGER, "
                           "DATA_TIME_SEND TIMESTAMP)";

class GoodsLineWriterTest : public ::testing::TestWithParam<TBatchCase> {
protected:
  static void SetUpTestSuite() {
    test::TestRunDirectory();
    std::setlocale(LC_ALL, "ru_RU.UTF-8");
    LoadLocaleFormatsFrom("ru_RU.UTF-8");
    SetCurrentYearSource([] { return 2024; });
    server_ = std::make_unique<test::FirebirdServer>(test::kTestUser, test::kTestPassword);
    server_->Start();
  }
  static void TearDownTestSuite() {
    server_.reset();
    SetCurrentYearSource({});
    std::setlocale(LC_ALL, "C");
  }

  struct TRunOptions {
    int Batch = 1;
    int Parallel = 1;
    bool OnServer = false;
    int FailAtEvents = 0;
    std::vector<std::string> Update;
  };

  static TRunOptions Options(int batch, int parallel, bool onServer) {
    TRunOptions options;
    options.Batch = batch;
    options.Parallel = parallel;
    options.OnServer = onServer;
    return options;
  }

  // One run of the case on a fresh database; `updates` gets how often the
  // goods lines' own UPDATE ran.
  static TOutcome Run(const TBatchCase& c, const TRunOptions& options, std::int64_t* updates = nullptr) {
    std::unique_ptr<test::TestDatabase> db =
        options.OnServer
            ? std::make_unique<test::TestDatabase>(test::TestDatabase::OnServer{server_->Address()}, c.Name)
            : std::make_unique<test::TestDatabase>(c.Name, c.Dialect);
    for (const std::string& sql : c.Schema) db->Execute(sql);
    bool conflicted = false;
    demo::TOrderService service(
        [&](const std::string& target) {
          if (c.Conflict != nullptr && !conflicted) {
            conflicted = true;
            db->Execute(c.Conflict);
          }
          return Answer(demo::OrderOfTarget(target));
        },
        0, options.Parallel);
    TRunSettings settings = Form2Description;
    settings.DBName = db->Path();
    settings.DBParams = test::TestDBParams();
    settings.SQLDialect = c.Dialect;
    settings.ServiceHost = service.Host();
    settings.SQLListZakaz = {"SELECT ID, ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS WHERE ZAKAZ_ID>0 ORDER BY ZAKAZ_ID, POS"};
    if (!c.Update.empty()) settings.SQLUpdateID = c.Update;
    if (!options.Update.empty()) settings.SQLUpdateID = options.Update;
    settings.Batch = options.Batch;
    settings.Parallel = options.Parallel;
    TComponent owner;
    owner.SetName("Form2");
    TLoggingView view;
    view.FailAtEvents = options.FailAtEvents;
    const TRunComponents components = CreateRunComponents(owner, settings);
    TRestorationRun run(settings, components, view);
    TOutcome outcome;
    run.Report().SetSink([&](const std::string& line) { outcome.Report.push_back(line); });
    run.Execute();
    if (updates != nullptr) *updates = components.SQLUpdateID->ExecuteCount();
    outcome.State = run.State();
    outcome.View = view.Calls;
    outcome.Rows = db->Query(
        "SELECT ID, ZAKAZ_ID, CAST(DATA_TIME_SEND AS VARCHAR(30)) FROM TBL_ZAKAZ_TOVARS ORDER BY POS, ZAKAZ_ID, ID");
    return outcome;
  }

  static inline std::unique_ptr<test::FirebirdServer> server_;
};

TEST_P(GoodsLineWriterTest, BlocksOfSevenChangeNothingButTheRoundTrips) {
  const TBatchCase& c = GetParam();
  for (const bool onServer : {false, true}) {
    // The private server's databases are made in dialect 3 only.
    if (onServer && c.Dialect != 3) continue;
    SCOPED_TRACE(onServer ? "through the server" : "embedded");
    const TOutcome alone = Run(c, Options(1, 1, onServer));
    EXPECT_EQ(alone.State, TRunState::Committed);
    if (c.Expect != nullptr) {
      bool found = false;
      for (const std::string& line : alone.Report) found = found || line.find(c.Expect) != std::string::npos;
      EXPECT_TRUE(found) << "no report line holds: " << c.Expect << ::testing::PrintToString(alone);
    }
    std::int64_t updates = 0;
    const TOutcome blocks = Run(c, Options(7, 1, onServer), &updates);
    EXPECT_EQ(blocks, alone);
    // Only the goods lines of blocks that could not go through ran alone.
    EXPECT_EQ(updates, c.WrittenAlone);
    EXPECT_EQ(Run(c, Options(7, 4, onServer)), alone) << "with requests ahead of the walk";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GoodsLineWriterTest,
    ::testing::Values(
        TBatchCase{"Plain", 3, WithGoods({kTable}), {}, nullptr, "order 13: 2 goods lines kept, request failed"},
        TBatchCase{"RefusingTrigger",
                   3,
                   WithGoods({kTable, "CREATE EXCEPTION E_REFUSED 'Refused'",
                              "CREATE TRIGGER T_REFUSE FOR TBL_ZAKAZ_TOVARS BEFORE UPDATE AS BEGIN "
                              "IF (MOD(NEW.ID, 5) = 3) THEN EXCEPTION E_REFUSED 'Goods line ' || NEW.ID || "
                              "' is archived'; END"}),
                   {},
                   nullptr,
                   "order 9: 2 of 10 goods lines kept, update refused: Form2.SQLUpdateID: Exception . Exception 1. "
                   "E_REFUSED. Goods line 8 is archived"},
        TBatchCase{"CheckConstraint",
                   3,
                   WithGoods({kTable, "ALTER TABLE TBL_ZAKAZ_TOVARS ADD CONSTRAINT C_SENT CHECK "
                                      "(ID NOT IN (2, 10, 11, 31) OR DATA_TIME_SEND IS NULL)"}),
                   {},
                   nullptr,
                   "order 9: 2 of 10 goods lines kept, update refused: Form2.SQLUpdateID: Operation violates CHECK "
                   "constraint"},
        TBatchCase{"BigintKeys",
                   3,
                   {"CREATE TABLE TBL_ZAKAZ_TOVARS (ID BIGINT, POS INTEGER, ZAKAZ_ID INTEGER, DATA_TIME_SEND "
                    "TIMESTAMP)",
                    "INSERT INTO TBL_ZAKAZ_TOVARS VALUES (3000000001, 1, 7, NULL)",
                    "INSERT INTO TBL_ZAKAZ_TOVARS VALUES (-1294967295, 2, 0, NULL)",
                    "INSERT INTO TBL_ZAKAZ_TOVARS VALUES (9223372036854775807, 3, 7, NULL)", Goods(4, 12, 9)}},
        TBatchCase{"TextKeys",
                   3,
                   {"CREATE TABLE TBL_ZAKAZ_TOVARS (ID VARCHAR(3), POS INTEGER, ZAKAZ_ID INTEGER, DATA_TIME_SEND "
                    "TIMESTAMP)",
                    Goods(1, 12, 9), "INSERT INTO TBL_ZAKAZ_TOVARS VALUES ('007', 13, 9, NULL)"},
                   {},
                   nullptr,
                   nullptr},
        TBatchCase{"Dialect1", 1,
                   WithGoods({"CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, POS INTEGER, ZAKAZ_ID INTEGER, "
                              "DATA_TIME_SEND DATE)"})},
        TBatchCase{"DateColumn", 3,
                   WithGoods({"CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, POS INTEGER, ZAKAZ_ID INTEGER, "
                              "DATA_TIME_SEND DATE)"})},
        TBatchCase{"DuplicateKeys",
                   3,
                   WithGoods({kTable, "CREATE EXCEPTION E_TWICE 'Twice'",
                              "CREATE TRIGGER T_ONCE FOR TBL_ZAKAZ_TOVARS BEFORE UPDATE AS BEGIN "
                              "IF (OLD.DATA_TIME_SEND IS NOT NULL AND NEW.ID = 5) THEN EXCEPTION E_TWICE; END",
                              Goods(5, 6, 21), Goods(5, 5, 22)}),
                   {},
                   nullptr,
                   "E_TWICE"},
        TBatchCase{"KeyOutOfTheUpdatesRange",
                   3,
                   WithGoods({"CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, POS INTEGER, ZAKAZ_ID INTEGER, "
                              "DATA_TIME_SEND TIMESTAMP)",
                              "INSERT INTO TBL_ZAKAZ_TOVARS VALUES (70000, 32, 21, NULL)"}),
                   {"UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND=:DATA_TIME_SEND", "WHERE ID=CAST(:ID AS SMALLINT)"},
                   nullptr,
                   "numeric overflow",
                   3}),
    [](const ::testing::TestParamInfo<TBatchCase>& info) { return std::string(info.param.Name); });

TEST_F(GoodsLineWriterTest, AnUpdateNoBlockCanHoldIsRunAloneAndTheReportSaysSo) {
  // RETURNING without INTO is a statement of its own, never part of a block.
  const TBatchCase c{"Returning", 3, WithGoods({kTable})};
  TRunOptions options;
  options.Update = {"UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND=:DATA_TIME_SEND WHERE ID=:ID RETURNING ID"};
  const TOutcome alone = Run(c, options);
  options.Batch = 7;
  std::int64_t updates = 0;
  TOutcome blocks = Run(c, options, &updates);
  ASSERT_FALSE(blocks.Report.empty());
  EXPECT_EQ(blocks.Report.front().rfind("orderdates: --batch 7: the database cannot run the UPDATEs in blocks, each "
                                        "goods line is written on its own: Form2.SQLUpdateIDBatch: ",
                                        0),
            0u)
      << blocks.Report.front();
  blocks.Report.erase(blocks.Report.begin());
  EXPECT_EQ(blocks, alone);
  EXPECT_EQ(updates, 24);
}

TEST_F(GoodsLineWriterTest, ARunStoppedWithABlockPendingSavesNothingAndReportsAsOneAtATime) {
  const TBatchCase c{"Stopped", 3, WithGoods({kTable})};
  TRunOptions options;
  // Stops before goods line 12: lines 8 to 11 wait for their block.
  options.FailAtEvents = 14;
  const TOutcome alone = Run(c, options);
  options.Batch = 7;
  const TOutcome blocks = Run(c, options);
  EXPECT_EQ(blocks.State, TRunState::Stopped);
  EXPECT_EQ(blocks, alone);
  for (const std::vector<std::string>& row : blocks.Rows) EXPECT_EQ(row.at(2), "<null>");
  EXPECT_EQ(blocks.Report.back(), "orderdates: stopped before the commit after 11 goods lines, nothing saved: an "
                                  "event handler failed");
}

TEST_F(GoodsLineWriterTest, ABlockTooLargeForTheServerIsMadeSmaller) {
  // One statement names at most 256 tables: 1000 UPDATEs are too many.
  const TBatchCase c{"Large", 3, {kTable, Goods(1, 600, 9), Goods(601, 1300, 21)}};
  for (const bool onServer : {false, true}) {
    const TOutcome alone = Run(c, Options(1, 1, onServer));
    std::int64_t updates = -1;
    int blockPrepares = 0;
    TFbCustomQuery::SetPrepareMonitor([&](const TFbCustomQuery& query, const std::string&) {
      if (query.Name() == "Form2.SQLUpdateIDBatch") ++blockPrepares;
    });
    EXPECT_EQ(Run(c, Options(1000, 1, onServer), &updates), alone);
    TFbCustomQuery::SetPrepareMonitor({});
    EXPECT_EQ(updates, 0);
    // Prepared once, at the size the server took.
    EXPECT_EQ(blockPrepares, 1);
  }
}

} // namespace
} // namespace od
