// The restoration run on its own, shown in a recording view instead of the
// window: a real database on the embedded engine and a real order service
// on a loopback port.
#include "run/RestorationRun.h"
#include "base/Component.h"
#include "base/Exception.h"
#include "db/Database.h"
#include "demo/OrderService.h"
#include "run/LookAhead.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/LocaleFormats.h"
#include "window/Form2Description.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace od {
namespace {

// Records what the run shows, as the user would see it: a status text only
// once it is shown.
class TRecordingView : public IRunView {
public:
  std::vector<std::string> Shown;
  int Steps = 0;

  void SetStatusText(const std::string& text) override { status_ = Cp1251ToUtf8(text); }
  void SetBarMaximum(int maximum) override { Shown.push_back("bar 0.." + std::to_string(maximum)); }
  void StepBar() override {
    ++Steps;
    steps_.store(Steps);
  }
  // Goods lines stepped so far, for other threads.
  int StepsSoFar() const { return steps_.load(); }
  void ShowState() override {
    if (status_ != shownStatus_) Shown.push_back("status " + status_);
    shownStatus_ = status_;
  }
  void RepaintNow() override {}
  // Fails at the given pass (1-based; 0: never), as an event handler might.
  int FailAtEvents = 0;
  void ProcessPendingEvents() override {
    if (++events_ == FailAtEvents) throw Exception("an event handler failed");
  }
  void ShowFinalMessage(const std::string& text, const std::string& details) override {
    Shown.push_back("message " + Cp1251ToUtf8(text) + (details.empty() ? "" : " (with counts)"));
  }
  void ShowError(const std::exception& error) override { Shown.push_back("error " + std::string(error.what())); }
  void EndProgram() override { Shown.push_back("end"); }

private:
  std::atomic<int> steps_{0};
  int events_ = 0;
  std::string status_;
  std::string shownStatus_;
};

// One run of the program's statements against `db`, asking `service`.
struct TRun {
  // `adjust` changes the settings before the components are made of them.
  TRun(const test::TestDatabase& db, const demo::TOrderService& service,
       const std::function<void(TRunSettings&)>& adjust = {}) {
    settings = Form2Description;
    if (adjust) adjust(settings);
    settings.DBName = db.Path();
    settings.DBParams = test::TestDBParams();
    settings.ServiceHost = service.Host();
    owner.SetName("Form2");
    run = std::make_unique<TRestorationRun>(settings, CreateRunComponents(owner, settings), view);
    run->Report().SetSink([this](const std::string& line) { report.push_back(line); });
  }
  void Execute() { run->Execute(); }

  TRunSettings settings;
  TComponent owner;
  TRecordingView view;
  std::unique_ptr<TRestorationRun> run;
  std::vector<std::string> report;
};

demo::TOrderService::THandler Answers(std::map<std::string, demo::TServiceReply> replies) {
  return [replies = std::move(replies)](const std::string& target) {
    const auto found = replies.find(demo::OrderOfTarget(target));
    return found != replies.end() ? found->second : demo::TOrderService::TextReply(404, "Not found\r\n");
  };
}

std::map<std::string, std::string> SendDates(const test::TestDatabase& db) {
  std::map<std::string, std::string> dates;
  for (const auto& row : db.Query("SELECT ID, CAST(DATA_TIME_SEND AS VARCHAR(24)) FROM TBL_ZAKAZ_TOVARS"))
    dates[row.at(0)] = row.at(1);
  return dates;
}

constexpr char kOld[] = "2001-01-01 12:00:00.0000";
constexpr char kSent[] = "2024-03-05 14:07:09.0000";
const char* const kAnswer = "05.03.2024 14:07:09\r\n";

class RestorationRunTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    test::TestRunDirectory();
    // The report writes in the terminal's code set; the answers are read the
    // Russian way.
    std::setlocale(LC_ALL, "ru_RU.UTF-8");
    LoadLocaleFormatsFrom("ru_RU.UTF-8");
    SetCurrentYearSource([] { return 2024; });
  }
  static void TearDownTestSuite() {
    SetCurrentYearSource({});
    std::setlocale(LC_ALL, "C");
  }
};

TEST_F(RestorationRunTest, ShowsEachPhaseTheBarAndTheFinalMessageInOrder) {
  test::TestDatabase db("walk");
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, ZAKAZ_ID INTEGER, DATA_TIME_SEND TIMESTAMP)");
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (1, 7, NULL)");
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (2, 9, NULL)");
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (3, 9, NULL)");
  demo::TOrderService service(Answers({{"7", demo::TOrderService::TextReply(200, kAnswer)},
                                       {"9", demo::TOrderService::TextReply(200, "06.03.2024 10:00:00\r\n")}}));
  TRun run(db, service);
  run.Execute();
  EXPECT_EQ(run.run->State(), TRunState::Committed);
  EXPECT_EQ(run.view.Shown,
            (std::vector<std::string>{"status Открытие БД", "status Подсчет количества", "bar 0..3",
                                      "status Заказ 9 - 06.03.2024 10:00:00", "message Даты восстановлены", "end"}));
  EXPECT_EQ(run.view.Steps, 3);
}

TEST_F(RestorationRunTest, AFailureOutsideAGoodsLineIsShownAndNothingIsCommitted) {
  test::TestDatabase db("nothing");
  demo::TOrderService service(Answers({}));
  TRun run(db, service);
  run.Execute();
  EXPECT_EQ(run.run->State(), TRunState::Stopped);
  ASSERT_EQ(run.view.Shown.size(), 3u);
  EXPECT_EQ(run.view.Shown[0], "status Открытие БД");
  EXPECT_EQ(run.view.Shown[1], "status Подсчет количества");
  EXPECT_EQ(run.view.Shown[2].rfind("error Form2.SQLCount:", 0), 0u) << run.view.Shown[2];
  ASSERT_EQ(run.report.size(), 1u);
  EXPECT_EQ(run.report[0].rfind("orderdates: stopped before the commit after 0 goods lines, nothing saved: "
                                "Form2.SQLCount:",
                                0),
            0u);
}

TEST_F(RestorationRunTest, KeysAboveThirtyTwoBitsWriteTheirOwnRowsOnly) {
  test::TestDatabase db("wide");
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID BIGINT, ZAKAZ_ID INTEGER, DATA_TIME_SEND TIMESTAMP)");
  // Two goods lines of order 7 with keys past 2^31, and rows outside the
  // walk whose keys are what those wrap to in 32 bits.
  for (const char* row : {"3000000001, 7", "4294967297, 7", "-1294967295, 0", "1, NULL", "-9223372036854775807, 7"})
    db.Execute(std::string("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (") + row + ", TIMESTAMP '2001-01-01 12:00:00')");
  demo::TOrderService service(Answers({{"7", demo::TOrderService::TextReply(200, kAnswer)}}));
  TRun run(db, service);
  run.Execute();
  EXPECT_EQ(SendDates(db), (std::map<std::string, std::string>{{"3000000001", kSent},
                                                               {"4294967297", kSent},
                                                               {"-9223372036854775807", kSent},
                                                               {"-1294967295", kOld},
                                                               {"1", kOld}}));
  EXPECT_EQ(run.report.back(), "orderdates: updated 3 of 3 goods lines; kept: request failed 0, answer without a "
                               "date 0, update refused 0");
}

TEST_F(RestorationRunTest, AKeyWithAFractionIsNeverRoundedIntoAnotherRow) {
  test::TestDatabase db("fraction");
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID NUMERIC(18,2), ZAKAZ_ID INTEGER, DATA_TIME_SEND TIMESTAMP)");
  // 5.50 would round to 6 and truncate to 5: both are other rows.
  for (const char* row : {"5.50, 7", "5, 0", "6, 0", "8.00, 7"})
    db.Execute(std::string("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (") + row + ", TIMESTAMP '2001-01-01 12:00:00')");
  demo::TOrderService service(Answers({{"7", demo::TOrderService::TextReply(200, kAnswer)}}));
  TRun run(db, service);
  run.Execute();
  EXPECT_EQ(SendDates(db),
            (std::map<std::string, std::string>{{"5.50", kOld}, {"5.00", kOld}, {"6.00", kOld}, {"8.00", kSent}}));
  ASSERT_EQ(run.report.size(), 2u);
  EXPECT_EQ(run.report[0], "orderdates: order 7: 1 of 2 goods lines kept, key not usable: '5,50' cannot be read "
                           "exactly as a 64-bit integer");
  EXPECT_EQ(run.report[1], "orderdates: updated 1 of 2 goods lines; kept: request failed 0, answer without a date 0, "
                           "update refused 0, key not usable 1");
}

// Goods lines in the walk's order (key, order number; "NULL" for a NULL),
// the dates they end with, and the report.
struct TNullCase {
  const char* Name;
  std::vector<std::pair<const char*, const char*>> Goods;
  std::map<std::string, std::string> Dates;
  std::vector<std::string> Report;
};

class NullValueTest : public RestorationRunTest, public ::testing::WithParamInterface<TNullCase> {};

TEST_P(NullValueTest, ANullIsNeverAKeyOrAnOrderAndItsReasonIsReported) {
  const TNullCase& c = GetParam();
  test::TestDatabase db("nulls");
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, ZAKAZ_ID INTEGER, POS INTEGER, DATA_TIME_SEND TIMESTAMP)");
  // A row outside the walk at the key 0, which a NULL key read as 0 would
  // write.
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (0, 0, 0, TIMESTAMP '2001-01-01 12:00:00')");
  int pos = 0;
  for (const auto& [key, order] : c.Goods)
    db.Execute(std::string("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (") + key + ", " + order + ", " +
               std::to_string(++pos) + ", TIMESTAMP '2001-01-01 12:00:00')");
  demo::TOrderService service(Answers(
      {{"7", demo::TOrderService::TextReply(200, kAnswer)}, {"9", demo::TOrderService::TextReply(200, kAnswer)}}));
  TRun run(db, service);
  // The goods lines in the order the table lists them, NULL order numbers
  // among them.
  run.settings.SQLListZakaz = {"SELECT ID, ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS WHERE ZAKAZ_ID>0 OR ZAKAZ_ID IS NULL",
                               "ORDER BY POS"};
  run.settings.SQLCount = {"SELECT count(*) FROM TBL_ZAKAZ_TOVARS WHERE ZAKAZ_ID>0 OR ZAKAZ_ID IS NULL"};
  run.run = std::make_unique<TRestorationRun>(run.settings, CreateRunComponents(run.owner, run.settings), run.view);
  run.run->Report().SetSink([&run](const std::string& line) { run.report.push_back(line); });
  run.Execute();
  EXPECT_EQ(run.run->State(), TRunState::Committed);
  std::map<std::string, std::string> dates = SendDates(db);
  EXPECT_EQ(dates.at("0"), kOld) << "the row at key 0 was written";
  dates.erase("0");
  EXPECT_EQ(dates, c.Dates);
  EXPECT_EQ(run.report, c.Report);
}

const char kNullOrder[] = "orderdates: 1 goods line kept, order number not usable: the order number is NULL";
const char kNullOrderSummary[] = "orderdates: updated 2 of 3 goods lines; kept: request failed 0, answer without a "
                                 "date 0, update refused 0, order number not usable 1";

INSTANTIATE_TEST_SUITE_P(
    Nulls, NullValueTest,
    ::testing::Values(
        TNullCase{"NullKey",
                  {{"NULL", "7"}, {"2", "7"}},
                  {{"<null>", kOld}, {"2", kSent}},
                  {"orderdates: order 7: 1 of 2 goods lines kept, key not usable: the key is NULL",
                   "orderdates: updated 1 of 2 goods lines; kept: request failed 0, answer without a date 0, update "
                   "refused 0, key not usable 1"}},
        TNullCase{"NullOrderFirst",
                  {{"1", "NULL"}, {"2", "7"}, {"3", "9"}},
                  {{"1", kOld}, {"2", kSent}, {"3", kSent}},
                  {kNullOrder, kNullOrderSummary}},
        TNullCase{"NullOrderBetween",
                  {{"1", "7"}, {"2", "NULL"}, {"3", "9"}},
                  {{"1", kSent}, {"2", kOld}, {"3", kSent}},
                  {kNullOrder, kNullOrderSummary}},
        TNullCase{"NullOrderLast",
                  {{"1", "7"}, {"2", "9"}, {"3", "NULL"}},
                  {{"1", kSent}, {"2", kSent}, {"3", kOld}},
                  {kNullOrder, kNullOrderSummary}},
        TNullCase{"EveryOrderNull",
                  {{"1", "NULL"}, {"2", "NULL"}},
                  {{"1", kOld}, {"2", kOld}},
                  {"orderdates: 2 goods lines kept, order number not usable: the order number is NULL",
                   "orderdates: updated 0 of 2 goods lines; kept: request failed 0, answer without a date 0, update "
                   "refused 0, order number not usable 2"}}),
    [](const ::testing::TestParamInfo<TNullCase>& info) { return std::string(info.param.Name); });

TEST_F(RestorationRunTest, TheAnswerTimeOutBoundsAServiceThatNeverAnswers) {
  test::TestDatabase db("silent");
  apptest::CreateOrderSchema(db);
  apptest::InsertGoods(db, {{1, 7}, {2, 7}, {3, 9}});
  // Takes the first request and never answers; the second waits behind it.
  apptest::HoldingService silent(1);
  TRun run(db, silent.Service());
  run.settings.AnswerTimeout = 300;
  const auto start = std::chrono::steady_clock::now();
  run.Execute();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.run->State(), TRunState::Committed);
  ASSERT_EQ(run.report.size(), 3u);
  // The wait that ran out and its bound, not the socket's words, which
  // read like a failed connect.
  EXPECT_EQ(run.report[0],
            "orderdates: order 7: 2 goods lines kept, request failed: no answer within 300 ms (--timeout)");
  EXPECT_EQ(run.report[1],
            "orderdates: order 9: 1 goods line kept, request failed: no answer within 300 ms (--timeout)");
  // Two waits of 300 ms, not of the client's 90 s.
  EXPECT_LT(took, std::chrono::seconds(20));
}

TEST_F(RestorationRunTest, AnOrderNumberWithBlanksGoesOutPercentEncoded) {
  test::TestDatabase db("text");
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, ZAKAZ_ID VARCHAR(10), DATA_TIME_SEND TIMESTAMP)");
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (1, ' 13', NULL)");
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (2, '14', NULL)");
  db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (3, '+15', NULL)");
  demo::TOrderService service([](const std::string& target) {
    return target.ends_with("=14") ? demo::TOrderService::TextReply(400, "")
                                   : demo::TOrderService::TextReply(200, kAnswer);
  });
  TRun run(db, service);
  run.Execute();
  std::set<std::string> lines;
  for (const std::string& head : service.Requests()) lines.insert(head.substr(0, head.find("\r\n")));
  EXPECT_EQ(lines, (std::set<std::string>{"GET /server_scripts/get_zakaz_dt.php?zakaz_id=%2013 HTTP/1.0",
                                          "GET /server_scripts/get_zakaz_dt.php?zakaz_id=14 HTTP/1.0",
                                          "GET /server_scripts/get_zakaz_dt.php?zakaz_id=%2B15 HTTP/1.0"}));
  // A refused request names the service's status line, not an empty answer.
  ASSERT_EQ(run.report.size(), 2u);
  EXPECT_EQ(run.report[0], "orderdates: order 14: 1 goods line kept, request failed: HTTP/1.0 400 Bad Request");
}

TEST_F(RestorationRunTest, TheReportShowsUtf8AndCodePage1251AnswersAsTheServiceMeantThem) {
  test::TestDatabase db("words");
  db.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER, ZAKAZ_ID INTEGER, DATA_TIME_SEND TIMESTAMP)");
  for (const char* row : {"1, 7", "2, 9", "3, 11"})
    db.Execute(std::string("INSERT INTO TBL_ZAKAZ_TOVARS VALUES (") + row + ", NULL)");
  demo::TOrderService service(Answers({
      {"7", demo::TOrderService::TextReply(200, "Заказ не найден\r\n")},
      {"9", demo::TOrderService::TextReply(200, Cp("Заказ не найден") + "\r\n")},
      {"11", demo::TOrderService::TextReply(200, "Заказ\x1b[2J\r\n")},
  }));
  TRun run(db, service);
  run.Execute();
  ASSERT_EQ(run.report.size(), 4u);
  EXPECT_EQ(run.report[0], "orderdates: order 7: 1 goods line kept, answer without a date: \"Заказ не найден\"");
  EXPECT_EQ(run.report[1], "orderdates: order 9: 1 goods line kept, answer without a date: \"Заказ не найден\"");
  EXPECT_EQ(run.report[2], "orderdates: order 11: 1 goods line kept, answer without a date: \"Заказ\\x1B[2J\"");
}

// Everything of a run that the user or the database can see.
struct TSeen {
  std::map<int, std::string> Dates;
  std::vector<int> Writes;
  std::vector<std::string> Report;
  std::multiset<std::string> Requests;
  bool operator==(const TSeen&) const = default;
};

TEST_F(RestorationRunTest, RequestsInFlightChangeNothingButTheTime) {
  std::map<int, TSeen> seen;
  for (const int parallel : {1, 8}) {
    test::TestDatabase db("parallel");
    apptest::CreateOrderSchema(db);
    // 60 goods lines of 20 orders, scattered over the keys.
    std::vector<std::pair<int, int>> goods;
    for (int i = 1; i <= 60; ++i) goods.emplace_back(i, 100 + i * 7 % 20);
    apptest::InsertGoods(db, goods);
    std::mutex mutex;
    std::condition_variable arrived;
    int meeting = 0;
    demo::TOrderService service(
        [&](const std::string& target) {
          const std::string order = demo::OrderOfTarget(target);
          // Where requests go ahead of the walk, the fourth order's answer
          // waits until the fifth order's request is being served as well:
          // a slow order among fast ones, with two requests in flight.
          if (parallel > 1 && (order == "103" || order == "104")) {
            std::unique_lock lock(mutex);
            ++meeting;
            arrived.notify_all();
            arrived.wait_for(lock, std::chrono::seconds(10), [&] { return meeting >= 2; });
          }
          if (order == "107") return demo::TOrderService::TextReply(404, "");
          if (order == "111") return demo::TServiceReply{demo::TServiceReply::Reset, {}};
          // Order 100 + d is sent on day d + 1 of March.
          char date[32];
          std::snprintf(date, sizeof date, "%02d.03.2024 14:07:09\r\n", std::stoi(order) - 99);
          return demo::TOrderService::TextReply(200, date);
        },
        0, parallel);
    TRun run(db, service);
    run.settings.Parallel = parallel;
    run.Execute();
    ASSERT_EQ(run.run->State(), TRunState::Committed);
    EXPECT_LE(service.MostAtOnce(), parallel);
    if (parallel > 1) {
      EXPECT_GE(service.MostAtOnce(), 2);
    }
    // Each order asked exactly once.
    const std::vector<std::string> targets = service.Targets();
    EXPECT_EQ(targets.size(), 20u);
    EXPECT_EQ(std::set<std::string>(targets.begin(), targets.end()).size(), 20u);
    TSeen& result = seen[parallel];
    result.Dates = apptest::SendDates(db);
    result.Writes = apptest::UpdateLog(db);
    result.Report = run.report;
    // The same bytes but for the service's port.
    for (std::string head : service.Requests()) {
      const std::string host = service.Host();
      head.replace(head.find(host), host.size(), "HOST");
      result.Requests.insert(head);
    }
  }
  EXPECT_EQ(seen[8].Report, seen[1].Report);
  EXPECT_EQ(seen[8].Writes, seen[1].Writes);
  EXPECT_EQ(seen[8].Dates, seen[1].Dates);
  EXPECT_EQ(seen[8].Requests, seen[1].Requests);
  EXPECT_EQ(seen[1].Writes.size(), 54u);
}

TEST_F(RestorationRunTest, AHugeOrderDoesNotMakeTheLookAheadReadTheWholeTable) {
  constexpr int kHuge = 6000;
  test::TestDatabase db("huge");
  apptest::CreateOrderSchema(db);
  // Order 1 with a few thousand goods lines, then order 2 with one.
  db.Execute("EXECUTE BLOCK AS DECLARE I INTEGER = 1; BEGIN WHILE (I <= " + std::to_string(kHuge) +
             ") DO BEGIN INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (:I, 1); I = I + 1; END "
             "INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (:I, 2); END");
  TRun* running = nullptr;
  std::atomic<int> stepsAtSecondOrder{-1};
  demo::TOrderService service(
      [&](const std::string& target) {
        if (demo::OrderOfTarget(target) == "2") stepsAtSecondOrder = running->view.StepsSoFar();
        return demo::TOrderService::TextReply(200, kAnswer);
      },
      0, 8);
  TRun run(db, service);
  running = &run;
  run.settings.Parallel = 8;
  run.Execute();
  ASSERT_EQ(run.run->State(), TRunState::Committed);
  // Order 2 was asked only once the walk had come within the look-ahead's
  // bound of it, not as soon as the list was read.
  EXPECT_GE(stepsAtSecondOrder.load(), kHuge - static_cast<int>(TListedLines::kMaxLinesAhead));
  EXPECT_EQ(apptest::UpdateLog(db).size(), static_cast<size_t>(kHuge + 1));
}

TEST_F(RestorationRunTest, AFailureOutsideAGoodsLineAbandonsTheRequestsInFlight) {
  test::TestDatabase db("abandoned");
  apptest::CreateOrderSchema(db);
  apptest::InsertGoods(db, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}});
  // Orders 1 and 2 answer; the others hang until the test ends.
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  demo::TOrderService service(
      [&](const std::string& target) {
        const std::string order = demo::OrderOfTarget(target);
        if (order != "1" && order != "2") {
          std::unique_lock lock(mutex);
          released.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
        }
        return demo::TOrderService::TextReply(200, kAnswer);
      },
      0, 8);
  struct TRelease {
    std::mutex& mutex;
    std::condition_variable& released;
    bool& release;
    ~TRelease() {
      std::lock_guard lock(mutex);
      release = true;
      released.notify_all();
    }
  } releaseAtEnd{mutex, released, release};

  TRun run(db, service);
  run.settings.Parallel = 4;
  // Fails before goods line 3, with the requests of orders 3 to 6 hanging.
  run.view.FailAtEvents = 5;
  const auto start = std::chrono::steady_clock::now();
  run.Execute();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.run->State(), TRunState::Stopped);
  EXPECT_EQ(run.view.Shown.back(), "error an event handler failed");
  // Far below any of the client's time-outs: nothing waited for the hanging
  // answers.
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_GE(service.RequestCount(), 4u);
  EXPECT_TRUE(apptest::UpdateLog(db).empty());
}

// A service that takes connections and resets them before any byte: after
// ten orders in a row without an answer the run asks no more, says so once
// and commits what it has. An answer of any kind between starts the count
// again. Requests in flight change nothing of it.
TEST_F(RestorationRunTest, AServiceThatStoppedAnsweringIsGivenUpOn) {
  std::map<int, std::vector<std::string>> reports;
  for (const int parallel : {1, 8}) {
    SCOPED_TRACE(parallel);
    test::TestDatabase db("silent");
    apptest::CreateOrderSchema(db);
    std::vector<std::pair<int, int>> goods;
    for (int order = 1; order <= 16; ++order) goods.emplace_back(order, order);
    goods.emplace_back(17, 16);
    apptest::InsertGoods(db, goods);
    demo::TOrderService service(
        [](const std::string& target) {
          const std::string order = demo::OrderOfTarget(target);
          if (order == "1") return demo::TOrderService::TextReply(200, kAnswer);
          if (order == "3") return demo::TOrderService::TextReply(404, "");
          return demo::TServiceReply{demo::TServiceReply::Reset, {}};
        },
        0, parallel);
    TRun run(db, service);
    run.settings.Parallel = parallel;
    run.Execute();
    ASSERT_EQ(run.run->State(), TRunState::Committed);
    // Orders 2, then 4 to 13 went unanswered; 14 to 16 were never asked.
    for (const std::string& target : service.Targets())
      EXPECT_LE(std::stoi(demo::OrderOfTarget(target)), 13 + parallel);
    if (parallel == 1) {
      EXPECT_EQ(service.RequestCount(), 13u);
    }
    ASSERT_GE(run.report.size(), 3u);
    EXPECT_EQ(run.report[run.report.size() - 2],
              "orderdates: every order from order 14 on kept its value, not asked: the service stopped answering "
              "after order 13");
    EXPECT_EQ(run.report.back(), "orderdates: updated 1 of 17 goods lines; kept: request failed 12, answer without a "
                                 "date 0, update refused 0, not asked 4");
    EXPECT_EQ(apptest::UpdateLog(db).size(), 1u);
    reports[parallel] = run.report;
  }
  EXPECT_EQ(reports[8], reports[1]);
}

// With --retry, a reset and a 503 that pass on the next try cost nothing but
// the try; an order that keeps failing says how often it was asked.
TEST_F(RestorationRunTest, RetriesAnswerWhatPassesAndSayHowOftenTheyAsked) {
  test::TestDatabase db("retry");
  apptest::CreateOrderSchema(db);
  apptest::InsertGoods(db, {{1, 1}, {2, 2}, {3, 3}, {4, 4}});
  std::mutex mutex;
  std::map<std::string, int> asked;
  demo::TOrderService service(
      [&](const std::string& target) {
        const std::string order = demo::OrderOfTarget(target);
        std::lock_guard lock(mutex);
        const int tries = ++asked[order];
        const demo::TServiceReply unavailable{demo::TServiceReply::Send,
                                              "HTTP/1.0 503 Service Unavailable\r\nRetry-After: 0\r\n"
                                              "Content-Length: 0\r\n\r\n"};
        if (order == "2" && tries == 1) return demo::TServiceReply{demo::TServiceReply::Reset, {}};
        if (order == "3" && tries == 1) return unavailable;
        if (order == "4") return unavailable;
        return demo::TOrderService::TextReply(200, kAnswer);
      },
      0, 4);
  TRun run(db, service);
  run.settings.Parallel = 4;
  run.settings.Retry = 2;
  run.Execute();
  ASSERT_EQ(run.run->State(), TRunState::Committed);
  EXPECT_EQ(asked, (std::map<std::string, int>{{"1", 1}, {"2", 2}, {"3", 2}, {"4", 3}}));
  EXPECT_EQ(run.report, (std::vector<std::string>{
                            "orderdates: order 4: 1 goods line kept, request failed after 3 tries: HTTP/1.0 503 "
                            "Service Unavailable",
                            "orderdates: 2 orders were answered only on a retry",
                            "orderdates: updated 3 of 4 goods lines; kept: request failed 1, answer without a date 0, "
                            "update refused 0"}));
}

// The list query fails at its fifth row (a division by zero in its
// condition): read ahead or not, the run meets the failure there, after the
// four goods lines before it, with the same report.
TEST_F(RestorationRunTest, AListQueryFailureIsMetAtItsRowWithRequestsInFlight) {
  std::map<int, std::vector<std::string>> reports;
  for (const int parallel : {1, 8}) {
    SCOPED_TRACE(parallel);
    test::TestDatabase db("listfails");
    apptest::CreateOrderSchema(db);
    apptest::InsertGoods(db, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}});
    demo::TOrderService service([](const std::string&) { return demo::TOrderService::TextReply(200, kAnswer); }, 0,
                                parallel);
    TRun run(db, service, [](TRunSettings& settings) {
      settings.SQLListZakaz = {"SELECT ID, ZAKAZ_ID FROM TBL_ZAKAZ_TOVARS WHERE 1 / (ID - 5) IS NOT NULL"};
    });
    run.settings.Parallel = parallel;
    run.Execute();
    EXPECT_EQ(run.run->State(), TRunState::Stopped);
    EXPECT_EQ(run.view.Steps, 4);
    ASSERT_FALSE(run.report.empty());
    EXPECT_TRUE(run.report.back().starts_with("orderdates: stopped before the commit after 4 goods lines"))
        << run.report.back();
    reports[parallel] = run.report;
  }
  EXPECT_EQ(reports[8], reports[1]);
}

} // namespace
} // namespace od
