// The run report and the exit status, from the program in a process of its
// own against a real database and a real order service: what standard error
// says about the goods lines that kept their value, and what the final box
// carries in its details.
#include "app/Program.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"
#include "text/Cp1251.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <unistd.h>

#ifndef ORDERDATES_UNDER_TEST
#error "ORDERDATES_UNDER_TEST must name the program built for the tests"
#endif

using namespace od;
using namespace od::apptest;

namespace {

struct TFinished {
  int ExitCode = -1;
  QString Out;
  QStringList Report;
};

// The program with the database and service on its command line; every box
// it shows is answered and then its window closed.
// With `closedReport` the report's reader goes away before the program writes
// its first line, as `orderdates 2>&1 | head -n 0` would.
TFinished RunProgram(const std::string& dbPath, const std::string& host, bool closedReport = false) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("LANG", "ru_RU.UTF-8");
  environment.insert("LC_ALL", "ru_RU.UTF-8");
  environment.insert("ORDERDATES_TEST_ANSWER_BOXES", "1");
  QProcess process;
  process.setProcessEnvironment(environment);
  int reportPipe[2] = {-1, -1};
  if (closedReport) {
    // Standard error is a pipe that nobody reads any more.
    if (::pipe(reportPipe) != 0) qFatal("no pipe");
    ::close(reportPipe[0]);
    process.setChildProcessModifier([write = reportPipe[1]] { ::dup2(write, STDERR_FILENO); });
  }
  process.start(QStringLiteral(ORDERDATES_UNDER_TEST),
                {"--database", QString::fromStdString(dbPath), "--service", QString::fromStdString(host)});
  if (closedReport) ::close(reportPipe[1]);
  TFinished finished;
  if (!process.waitForStarted(30000) || !process.waitForFinished(240000)) {
    process.kill();
    process.waitForFinished(30000);
    return finished;
  }
  finished.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  finished.Out = QString::fromUtf8(process.readAllStandardOutput());
  // The toolkit may write its own notes there too.
  for (const QString& line : QString::fromUtf8(process.readAllStandardError()).split('\n'))
    if (line.startsWith("orderdates: ")) finished.Report << line;
  return finished;
}

} // namespace

class RunReportTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { test::TestRunDirectory(); }

  void skippedLines() {
    test::TestDatabase db("report");
    CreateOrderSchema(db);
    // The database refuses the UPDATE of goods line 12 by itself.
    db.Execute("CREATE EXCEPTION E_REFUSED 'goods line 12 is archived'");
    db.Execute("CREATE TRIGGER REFUSE_12 FOR TBL_ZAKAZ_TOVARS BEFORE UPDATE AS BEGIN "
               "IF (NEW.ID = 12) THEN EXCEPTION E_REFUSED; END");
    InsertGoods(
        db, {{1, 5}, {2, 5}, {3, 7}, {4, 7}, {5, 9}, {6, 11}, {7, 13}, {8, 17}, {9, 19}, {10, 21}, {11, 21}, {12, 21}});
    const std::map<int, std::string> before = SendDates(db);
    demo::TOrderService service(ScriptedHandler({
        {"5", "05.03.2024 14:07:09\r\n"},
        {"7", "<close>"},
        {"9", Cp("Заказ не найден") + "\r\n"},
        {"11", "12:00\r\n"}, // a time alone parses onto 30 Dec 1899
        {"13", "0\r\n"},
        {"17", ""},
        {"19", "\x1b]0;owned\x07\r\n"},
        {"21", "06.03.2024 10:00:00\r\n"},
    }));

    const TFinished finished = RunProgram(db.Path(), service.Host());
    for (const QString& line : finished.Report) qInfo("%s", qPrintable(line));
    QCOMPARE(finished.ExitCode, kExitCommitted);
    const QStringList expected{
        "orderdates: order 7: 2 goods lines kept, request failed: ",
        U("orderdates: order 9: 1 goods line kept, answer without a date: \"Заказ не найден\""),
        "orderdates: order 11: 1 goods line kept, answer without a date: \"12:00\"",
        "orderdates: order 13: 1 goods line kept, answer without a date: \"0\"",
        "orderdates: order 17: 1 goods line kept, answer without a date: the answer was empty",
        "orderdates: order 19: 1 goods line kept, answer without a date: \"\\x1B]0;owned\\x07\"",
        "orderdates: order 21: 1 of 3 goods lines kept, update refused: ",
        "orderdates: updated 4 of 12 goods lines; kept: request failed 2, answer without a date 5, update refused 1",
    };
    QCOMPARE(finished.Report.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i)
      QVERIFY2(finished.Report.at(i).startsWith(expected.at(i)), qPrintable(finished.Report.at(i)));
    // The request's and the database's own texts follow their reasons.
    QVERIFY2(finished.Report.at(0).size() > expected.at(0).size(), qPrintable(finished.Report.at(0)));
    QVERIFY2(finished.Report.at(6).contains("E_REFUSED. Goods line 12 is archived."),
             qPrintable(finished.Report.at(6)));

    // The final message keeps its text; the counts are in its details.
    QCOMPARE(finished.Out, U("box: Даты восстановлены\n"
                             "details: Обновлено строк товаров: 4 из 12.\n"
                             "Не изменено: 8, из них:\n"
                             "  запрос к сервису не выполнен: 2\n"
                             "  в ответе нет даты: 5\n"
                             "  база данных отклонила запись: 1\n"
                             "Подробности по каждому заказу выводятся в стандартный поток ошибок.\n"));

    std::map<int, std::string> expectedDates = before;
    expectedDates[1] = expectedDates[2] = "2024-03-05 14:07:09.000";
    expectedDates[10] = expectedDates[11] = "2024-03-06 10:00:00.000";
    QCOMPARE(SendDates(db), expectedDates);
  }

  void reportReaderGoneEarly() {
    test::TestDatabase db("pipe");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 7}});
    // Order 5's report line is written before order 7 is asked.
    demo::TOrderService service(ScriptedHandler({{"7", "05.03.2024 14:07:09\r\n"}}));
    const TFinished finished = RunProgram(db.Path(), service.Host(), true);
    QCOMPARE(finished.ExitCode, kExitCommitted);
    QCOMPARE(service.RequestCount(), std::size_t{2});
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, "2024-03-05 14:07:09.000"}}));
  }

  void stoppedRun() {
    // No goods line table: the count fails, the error is shown, and the user
    // closes the window.
    test::TestDatabase db("stopped");
    demo::TOrderService service(ScriptedHandler({}));
    const TFinished finished = RunProgram(db.Path(), service.Host());
    QCOMPARE(finished.ExitCode, kExitNotCommitted);
    QCOMPARE(finished.Report.size(), qsizetype{1});
    QVERIFY2(finished.Report.at(0).startsWith("orderdates: stopped before the commit after 0 goods lines, nothing "
                                              "saved: Form2.SQLCount:"),
             qPrintable(finished.Report.at(0)));
    QVERIFY2(finished.Out.startsWith("box: Form2.SQLCount:"), qPrintable(finished.Out));
    QCOMPARE(service.RequestCount(), std::size_t{0});
  }
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  RunReportTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "RunReportTest.moc"
