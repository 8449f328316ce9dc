// The run report and the exit status, from the program in a process of its
// own against a real database and a real order service: what standard error
// and the report file say about the goods lines that kept their value, what
// the final box says, and how the program ends.
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"
#include "tests/net/TlsServers.h"
#include "text/Cp1251.h"
#include "window/Program.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef ORDERDATES_UNDER_TEST
#error "ORDERDATES_UNDER_TEST must name the program built for the tests"
#endif

using namespace od;
using namespace od::apptest;

namespace {

// 2026-12-09 02:30:00 UTC: the run's start, which names its report file.
constexpr char kNow[] = "1796783400";
constexpr char kNowFile[] = "orderdates-2026-12-09T02-30-00.log";
// The final message's last line after a run that restored some dates.
const QString kOnlyMissingHint = U("Повторный запуск с --only-missing обработает только строки товаров без даты.");

struct TFinished {
  int ExitCode = -1;
  QString Out;
  QStringList Report;
  QString Err;
};

struct TRunOptions {
  QStringList Extra;
  QString Locale = "ru_RU.UTF-8";
  // XDG_STATE_HOME and HOME of the run; empty: the test run's own.
  QString Home;
  // ORDERDATES_TEST_ANSWER_BOXES: "1" answers every box, "hold" leaves it.
  QString Boxes = "1";
  // The report's reader goes away before the program writes its first
  // line, as `orderdates 2>&1 | head -n 0` would.
  bool ClosedReport = false;
};

// The program with the database and service on its command line; every box
// it shows is answered and then its window closed.
void StartProgram(QProcess& process, const std::string& dbPath, const std::string& host,
                  const TRunOptions& options = {}) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("LANG", options.Locale);
  environment.insert("LC_ALL", options.Locale);
  environment.insert("TZ", "UTC");
  environment.insert("ORDERDATES_TEST_NOW", kNow);
  environment.insert("ORDERDATES_TEST_ANSWER_BOXES", options.Boxes);
  if (!options.Home.isEmpty()) {
    environment.insert("XDG_STATE_HOME", options.Home + "/state");
    environment.insert("HOME", options.Home);
  }
  process.setProcessEnvironment(environment);
  int reportPipe[2] = {-1, -1};
  if (options.ClosedReport) {
    // Standard error is a pipe that nobody reads any more.
    if (::pipe(reportPipe) != 0) qFatal("no pipe");
    ::close(reportPipe[0]);
    process.setChildProcessModifier([write = reportPipe[1]] { ::dup2(write, STDERR_FILENO); });
  }
  process.start(QStringLiteral(ORDERDATES_UNDER_TEST),
                QStringList{"--database", QString::fromStdString(dbPath), "--service", QString::fromStdString(host)} +
                    options.Extra);
  if (options.ClosedReport) ::close(reportPipe[1]);
}

// The report's lines among what the toolkit may write there too.
QStringList ReportLines(const QString& text) {
  QStringList lines;
  for (const QString& line : text.split('\n'))
    if (line.startsWith("orderdates: ")) lines << line;
  return lines;
}

TFinished Finish(QProcess& process) {
  TFinished finished;
  if (!process.waitForStarted(30000) || !process.waitForFinished(240000)) {
    process.kill();
    process.waitForFinished(30000);
    return finished;
  }
  finished.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  finished.Out = QString::fromUtf8(process.readAllStandardOutput());
  finished.Err = QString::fromUtf8(process.readAllStandardError());
  finished.Report = ReportLines(finished.Err);
  return finished;
}

TFinished RunProgram(const std::string& dbPath, const std::string& host, const TRunOptions& options = {}) {
  QProcess process;
  StartProgram(process, dbPath, host, options);
  return Finish(process);
}

QString ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString("<no file>");
}

// A folder of its own for one run's home.
QString NewHome(const char* name) {
  static int counter = 0;
  const QString home =
      QString::fromStdString(test::TestRunDirectory()) + "/home-" + name + "-" + QString::number(++counter);
  QDir().mkpath(home);
  return home;
}

// An answer of exactly these bytes, the connection closed after them.
demo::TServiceReply Raw(const std::string& bytes) { return {demo::TServiceReply::Send, bytes}; }

// "HTTP/1.0 200 OK" with its length, then `body` as it is.
std::string Ok(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A loopback port that is bound and does not listen: every connect to it is
// refused, for as long as the socket is held.
class TRefusingPort {
public:
  TRefusingPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      qFatal("no socket");
    port_ = ntohs(address.sin_port);
  }
  ~TRefusingPort() { ::close(fd_); }
  TRefusingPort(const TRefusingPort&) = delete;
  TRefusingPort& operator=(const TRefusingPort&) = delete;
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

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

    TRunOptions options;
    options.Home = NewHome("skipped");
    const TFinished finished = RunProgram(db.Path(), service.Host(), options);
    for (const QString& line : finished.Report) qInfo("%s", qPrintable(line));
    QCOMPARE(finished.ExitCode, kExitPartly);
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

    // The final message keeps its text; the counts follow it.
    QCOMPARE(finished.Out, U("box: Даты восстановлены\n"
                             "\n"
                             "Обновлено 4 из 12 строк товаров\n"
                             "Не изменено: 8, из них:\n"
                             "  запрос к сервису не выполнен: 2\n"
                             "  в ответе нет даты: 5\n"
                             "  база данных отклонила запись: 1\n"
                             "Подробности по каждому заказу записаны в файл:\n") +
                               options.Home + "/state/orderdates/" + kNowFile + "\n" + kOnlyMissingHint + "\n");

    std::map<int, std::string> expectedDates = before;
    expectedDates[1] = expectedDates[2] = "2024-03-05 14:07:09.000";
    expectedDates[10] = expectedDates[11] = "2024-03-06 10:00:00.000";
    QCOMPARE(SendDates(db), expectedDates);
  }

  // How a run ends, by what became of its goods lines: the final box, the
  // exit status, the report on standard error and in its file.
  void outcomes_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("answer5");
    QTest::addColumn<QString>("answer7");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // %1: the report file's path
    QTest::addColumn<QStringList>("report");
    QTest::addColumn<QString>("written"); // the goods lines that got the date

    const QString date = "05.03.2024 14:07:09\r\n";
    const QString missing = "404:Not found\r\n";
    const QString failed7 =
        "orderdates: order 7: 1 goods line kept, request failed: HTTP/1.0 404 Not Found: \"Not found\"";
    const QString someKept = U("\n\nОбновлено 2 из 3 строк товаров\n"
                               "Не изменено: 1, из них:\n"
                               "  запрос к сервису не выполнен: 1\n"
                               "Подробности по каждому заказу записаны в файл:\n"
                               "%1\n");
    const QString done = U("box: Даты восстановлены");
    // Nothing restored: not a word of success, a warning icon, a status of
    // its own.
    const QString notDone = U("box: Даты не восстановлены");
    const QString kept = "; kept: request failed 1, answer without a date 0, update refused 0";
    QTest::newRow("every line updated")
        << QStringList{} << "ru_RU.UTF-8" << date << date << kExitCommitted << done + "\n"
        << QStringList{"orderdates: updated 3 of 3 goods lines; kept: request failed 0, answer without a date 0, "
                       "update refused 0"}
        << "123";
    QTest::newRow("some kept") << QStringList{} << "ru_RU.UTF-8" << date << missing << kExitPartly
                               << done + someKept + kOnlyMissingHint + "\n"
                               << QStringList{failed7, "orderdates: updated 2 of 3 goods lines" + kept} << "12";
    QTest::newRow("dry run, some kept") << QStringList{"--dry-run"} << "ru_RU.UTF-8" << date << missing << kExitPartly
                                        << U("box: Проверка завершена, изменения не сохранены") +
                                               QString(someKept).replace(U("Обновлено"), U("Было бы обновлено"))
                                        << QStringList{failed7, "orderdates: would update 2 of 3 goods lines" + kept}
                                        << "";
    QTest::newRow("nothing updated")
        << QStringList{} << "ru_RU.UTF-8" << missing << missing << kExitNoneRestored
        << notDone + U("\n\nОбновлено 0 из 3 строк товаров\n"
                       "Не изменено: 3, из них:\n"
                       "  запрос к сервису не выполнен: 3\n"
                       "Подробности по каждому заказу записаны в файл:\n"
                       "%1\n"
                       "icon: 2\n")
        << QStringList{"orderdates: order 5: 2 goods lines kept, request failed: HTTP/1.0 404 Not Found: \"Not found\"",
                       failed7,
                       "orderdates: updated 0 of 3 goods lines; kept: request failed 3, answer without a date 0, "
                       "update refused 0"}
        << "";
    QTest::newRow("--report FILE") << QStringList{"--report", "%1"} << "ru_RU.UTF-8" << date << missing << kExitPartly
                                   << done + someKept + kOnlyMissingHint + "\n"
                                   << QStringList{failed7, "orderdates: updated 2 of 3 goods lines" + kept} << "12";
    QTest::newRow("C locale")
        << QStringList{} << "C" << date << date << kExitNoneRestored
        << notDone + U("\n\nОбновлено 0 из 3 строк товаров\n"
                       "Не изменено: 3, из них:\n"
                       "  в ответе нет даты: 3\n"
                       "Подробности по каждому заказу записаны в файл:\n"
                       "%1\n"
                       "icon: 2\n")
        << QStringList{"orderdates: order 5: 2 goods lines kept, answer without a date: \"05.03.2024 14:07:09\"",
                       "orderdates: order 7: 1 goods line kept, answer without a date: \"05.03.2024 14:07:09\"",
                       "orderdates: answers such as \"05.03.2024 14:07:09\" look like dates but do not read as dates "
                       "under the regional settings in force (C), which expect dates as MM/dd/yy; to read them the "
                       "Russian way, run under a Russian locale: LC_ALL=ru_RU.UTF-8 orderdates ...",
                       "orderdates: updated 0 of 3 goods lines; kept: request failed 0, answer without a date 3, "
                       "update refused 0"}
        << "";
  }
  // A run that restores nothing is no success: its headline, its warning
  // icon and its exit status say so, with the counts and the reason.
  void totalFailures_data() {
    QTest::addColumn<QString>("host"); // empty: a port that refuses
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("firstLine");
    QTest::newRow("service down") << QString() << U("  запрос к сервису не выполнен: 3\n")
                                  << "orderdates: order 5: 2 goods lines kept, request failed: Connection refused";
    QTest::newRow("unknown host") << "orders.shop.invalid:8088" << U("  запрос к сервису не выполнен: 3\n")
                                  << "orderdates: order 5: 2 goods lines kept, request failed: ";
    QTest::newRow("every answer a 404")
        << "404" << U("  запрос к сервису не выполнен: 3\n")
        << "orderdates: order 5: 2 goods lines kept, request failed: HTTP/1.0 404 Not Found: \"Not found\"";
  }
  void totalFailures() {
    QFETCH(QString, host);
    QFETCH(QString, reason);
    QFETCH(QString, firstLine);
    test::TestDatabase db("total");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 5}, {3, 7}});
    TRefusingPort refusing;
    demo::TOrderService notFound(ScriptedHandler({}));
    const std::string service = host.isEmpty() ? refusing.Host() : host == "404" ? notFound.Host() : host.toStdString();
    TRunOptions options;
    options.Home = NewHome("total");
    const TFinished finished = RunProgram(db.Path(), service, options);
    QCOMPARE(finished.ExitCode, kExitNoneRestored);
    QCOMPARE(finished.Out,
             U("box: Даты не восстановлены\n\nОбновлено 0 из 3 строк товаров\nНе изменено: 3, из них:\n") + reason +
                 U("Подробности по каждому заказу записаны в файл:\n") + options.Home + "/state/orderdates/" +
                 kNowFile + "\nicon: 2\n");
    QVERIFY2(finished.Report.value(0).startsWith(firstLine), qPrintable(finished.Report.value(0)));
    QCOMPARE(finished.Report.size(), 3);
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, kOldDate}, {3, kOldDate}}));
  }

  // What the report says of an answer, by the bytes the service sent.
  void reasons_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("report");
    QTest::addColumn<QString>("stored");
    const std::string date = "02.01.2024 16:48:39";
    const QString kept = "; kept: request failed 0, answer without a date 0, update refused 0";
    const QString noDate = "; kept: request failed 0, answer without a date 1, update refused 0";
    const QString failed = "; kept: request failed 1, answer without a date 0, update refused 0";
    QTest::newRow("a byte order mark is no part of the date")
        << QByteArray::fromStdString(Ok("\xEF\xBB\xBF" + date + "\r\n"))
        << QStringList{"orderdates: updated 1 of 1 goods line" + kept} << "2024-01-02 16:48:39.000";
    QTest::newRow("an empty first line, named, with the pattern's hint")
        << QByteArray::fromStdString(Ok("\n" + date))
        << QStringList{"orderdates: order 7: 1 goods line kept, answer without a date: the first line of the answer "
                       "is empty; the first line with text: \"02.01.2024 16:48:39\"",
                       "orderdates: answers start with an empty line, the text on a later one: the order script most "
                       "likely prints a line break before the date (a blank line before '<?php', or after '?>' in a "
                       "file it includes); the date is read from the first line only",
                       "orderdates: updated 0 of 1 goods line" + noDate}
        << QString(kOldDate);
    QTest::newRow("a 404 quotes the start of its body")
        << QByteArray::fromStdString("HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n\r\n" +
                                     U("Нет такого заказа\r\n").toStdString() + std::string(300, 'x'))
        << QStringList{U("orderdates: order 7: 1 goods line kept, request failed: HTTP/1.1 404 Not Found: \"Нет "
                         "такого заказа ") +
                           QString(300, 'x') + "\"",
                       "orderdates: updated 0 of 1 goods line" + failed}
        << QString(kOldDate);
    QTest::newRow("a 301 says where to")
        << QByteArray("HTTP/1.1 301 Moved Permanently\r\nLocation: https://shop.example/orders.php?id=7\r\n"
                      "Content-Length: 0\r\nConnection: close\r\n\r\n")
        << QStringList{"orderdates: order 7: 1 goods line kept, request failed: HTTP/1.1 301 Moved Permanently, "
                       "Location: https://shop.example/orders.php?id=7",
                       "orderdates: updated 0 of 1 goods line" + failed}
        << QString(kOldDate);
    QTest::newRow("a date without a time, written as midnight and counted")
        << QByteArray::fromStdString(Ok("02.01.2024\r\n"))
        << QStringList{"orderdates: updated 1 of 1 goods line (1 with a date without a time, written as 00:00:00)" +
                       kept}
        << "2024-01-02 00:00:00.000";
  }
  void reasons() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, report);
    QFETCH(QString, stored);
    test::TestDatabase db("reason");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}});
    demo::TOrderService service([answer = bytes.toStdString()](const std::string&) { return Raw(answer); });
    TRunOptions options;
    options.Home = NewHome("reason");
    const TFinished finished = RunProgram(db.Path(), service.Host(), options);
    QCOMPARE(finished.Report, report);
    QCOMPARE(QString::fromStdString(SendDates(db).at(1)), stored);
  }

  // A second run with --only-missing asks only the orders still without a
  // date and leaves the dates already restored alone.
  void onlyMissingAfterAPartialRun() {
    test::TestDatabase db("missing");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 5}, {3, 7}, {4, 9}, {5, 11}});
    db.Execute("UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND = NULL");
    const size_t logged = UpdateLog(db).size();
    TRunOptions options;
    options.Home = NewHome("missing");
    {
      demo::TOrderService first(ScriptedHandler({{"5", "05.03.2024 14:07:09\r\n"}, {"9", "06.03.2024 10:00:00\r\n"}}));
      QCOMPARE(RunProgram(db.Path(), first.Host(), options).ExitCode, kExitPartly);
    }
    const std::vector<int> afterFirst = UpdateLog(db);
    const std::vector<int> firstUpdates(afterFirst.begin() + static_cast<std::ptrdiff_t>(logged), afterFirst.end());
    QCOMPARE(firstUpdates, (std::vector<int>{1, 2, 4}));

    demo::TOrderService second(ScriptedHandler({{"5", "01.01.2030 00:00:01\r\n"},
                                                {"7", "07.03.2024 09:30:00\r\n"},
                                                {"9", "01.01.2030 00:00:01\r\n"},
                                                {"11", "08.03.2024 08:00:00\r\n"}}));
    options.Extra = QStringList{"--only-missing"};
    const TFinished finished = RunProgram(db.Path(), second.Host(), options);
    QCOMPARE(finished.ExitCode, kExitCommitted);
    QCOMPARE(second.Targets().size(), std::size_t{2});
    QCOMPARE(demo::OrderOfTarget(second.Targets().at(0)), std::string("7"));
    QCOMPARE(demo::OrderOfTarget(second.Targets().at(1)), std::string("11"));
    QCOMPARE(finished.Report.last(), QString("orderdates: updated 2 of 2 goods lines; kept: request failed 0, answer "
                                             "without a date 0, update refused 0"));
    const std::vector<int> log = UpdateLog(db);
    QCOMPARE(std::vector<int>(log.begin() + static_cast<std::ptrdiff_t>(logged) + 3, log.end()),
             (std::vector<int>{3, 5}));
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, "2024-03-05 14:07:09.000"},
                                                        {2, "2024-03-05 14:07:09.000"},
                                                        {3, "2024-03-07 09:30:00.000"},
                                                        {4, "2024-03-06 10:00:00.000"},
                                                        {5, "2024-03-08 08:00:00.000"}}));
  }

  void outcomes() {
    QFETCH(QStringList, extra);
    QFETCH(QString, locale);
    QFETCH(QString, answer5);
    QFETCH(QString, answer7);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, report);
    QFETCH(QString, written);
    test::TestDatabase db("outcome");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 5}, {3, 7}});
    demo::TOrderService service(ScriptedHandler({{"5", answer5.toStdString()}, {"7", answer7.toStdString()}}));

    TRunOptions options;
    options.Home = NewHome("outcome");
    options.Locale = locale;
    // --report names a file that is there: it is emptied, not appended to.
    const QString named = options.Home + "/named.log";
    const bool reportNamed = extra.contains("--report");
    if (reportNamed) {
      QFile old(named);
      QVERIFY(old.open(QIODevice::WriteOnly) && old.write("an older run's report\n") > 0);
    }
    options.Extra = extra.replaceInStrings("%1", named);
    const TFinished finished = RunProgram(db.Path(), service.Host(), options);
    QCOMPARE(finished.ExitCode, exitCode);

    const QString stateFolder = options.Home + "/state/orderdates";
    const QString file = reportNamed ? named : stateFolder + "/" + kNowFile;
    QCOMPARE(finished.Out, out.replace("%1", file));
    QCOMPARE(finished.Report, report);
    // The file holds the same lines, one order per line, and nothing else,
    // for the user alone.
    QCOMPARE(ReadFile(file), report.join('\n') + '\n');
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t{0600});
    if (reportNamed) QVERIFY(!QDir(stateFolder).exists());

    std::map<int, std::string> expected;
    for (int key = 1; key <= 3; ++key)
      expected[key] = written.contains(QString::number(key)) ? "2024-03-05 14:07:09.000" : kOldDate;
    QCOMPARE(SendDates(db), expected);
  }

  // The service over https through stunnel: checked against --ca-file, or
  // refused by the system's store, which does not know the test's CA; a
  // refused certificate is one line for all the orders it hit.
  void httpsService_data() {
    QTest::addColumn<bool>("caFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("report");
    QTest::newRow("verified against --ca-file")
        << true << kExitCommitted
        << QStringList{"orderdates: updated 3 of 3 goods lines; kept: request failed 0, answer without a date 0, "
                       "update refused 0"};
    QTest::newRow("unknown issuer: one line for every order")
        << false << kExitNoneRestored
        << QStringList{"orderdates: 2 orders kept every goods line, request failed: the service's certificate was "
                       "refused: it is issued by an unknown authority (neither in the system's trust store nor in "
                       "--ca-file)",
                       "orderdates: updated 0 of 3 goods lines; kept: request failed 3, answer without a date 0, "
                       "update refused 0"};
  }
  void httpsService() {
    QFETCH(bool, caFile);
    QFETCH(int, exitCode);
    QFETCH(QStringList, report);
    test::TestDatabase db("https");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 5}, {3, 7}});
    demo::TOrderService service(ScriptedHandler({{"5", "05.03.2024 14:07:09\r\n"}, {"7", "05.03.2024 14:07:09\r\n"}}));
    test::TestPki pki;
    pki.Make("service", "IP:127.0.0.1");
    const std::string host = service.Host();
    test::StunnelFront front(pki, "service", std::stoi(host.substr(host.rfind(':') + 1)));
    TRunOptions options;
    options.Home = NewHome("https");
    if (caFile) options.Extra = QStringList{"--ca-file", QString::fromStdString(pki.CaFile())};
    const TFinished finished = RunProgram(db.Path(), "https://127.0.0.1:" + front.PortText(), options);
    QCOMPARE(finished.ExitCode, exitCode);
    QCOMPARE(finished.Report, report);
  }

  // The final message is up, so the run has committed: a termination signal
  // now ends the program with the committed run's status, and the report
  // does not say that nothing was saved.
  void signalAfterTheCommit() {
    test::TestDatabase db("signal-after-commit");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 7}});
    demo::TOrderService service(ScriptedHandler({{"5", "05.03.2024 14:07:09\r\n"}}));
    TRunOptions options;
    options.Boxes = "hold";
    QProcess process;
    StartProgram(process, db.Path(), service.Host(), options);
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("box: "), 60000);
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGTERM), 0);
    const TFinished finished = Finish(process);
    QCOMPARE(finished.ExitCode, kExitPartly);
    QVERIFY2(!finished.Err.contains("nothing saved"), qPrintable(finished.Err));
    QVERIFY2(!finished.Report.isEmpty() && finished.Report.last().startsWith("orderdates: updated 1 of 2 goods lines"),
             qPrintable(finished.Err));
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, "2024-03-05 14:07:09.000"}, {2, kOldDate}}));
  }

  void reportReaderGoneEarly() {
    test::TestDatabase db("pipe");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 7}});
    // Order 5's report line is written before order 7 is asked.
    demo::TOrderService service(ScriptedHandler({{"7", "05.03.2024 14:07:09\r\n"}}));
    TRunOptions options;
    options.ClosedReport = true;
    const TFinished finished = RunProgram(db.Path(), service.Host(), options);
    QCOMPARE(finished.ExitCode, kExitPartly);
    QCOMPARE(service.RequestCount(), std::size_t{2});
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, "2024-03-05 14:07:09.000"}}));
  }

  // Places a report must not go: it is refused before anything is opened,
  // or said once while the run goes on without the file.
  void unsafeReportPlaces_data() {
    QTest::addColumn<QString>("place");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // %1: the place
    QTest::newRow("--report at a symbolic link")
        << "link" << kExitBadOption
        << "orderdates: option '--report' wants a file, not the symbolic link '%1' (see 'orderdates --help')";
    QTest::newRow("--report at another user's file")
        << "foreign" << kExitBadOption
        << "orderdates: option '--report' wants a file of your own, not '%1' of another user (see 'orderdates "
           "--help')";
    QTest::newRow("a state folder others may write to")
        << "open folder" << kExitCommitted
        << "orderdates: the report folder '%1' is not used: others may write to it; the report goes to standard "
           "error only";
  }
  void unsafeReportPlaces() {
    QFETCH(QString, place);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    test::TestDatabase db("unsafe");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}});
    demo::TOrderService service(ScriptedHandler({{"5", "05.03.2024 14:07:09\r\n"}}));
    TRunOptions options;
    options.Home = NewHome("unsafe");
    const QString target = options.Home + "/target";
    QFile kept(target);
    QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("not the report\n") > 0);
    kept.close();
    QString shown = target;
    if (place == "link") {
      shown = options.Home + "/report.log";
      QVERIFY(QFile::link(target, shown));
      options.Extra = {"--report", shown};
    } else if (place == "foreign") {
      // Another user's file: one made here and given away, or, without the
      // right to give it away, one of the system's.
      if (::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(target).constData(), 65534, 65534), 0);
      else
        shown = "/etc/passwd";
      options.Extra = {"--report", shown};
    } else {
      shown = options.Home + "/state/orderdates";
      QVERIFY(QDir().mkpath(shown));
      QCOMPARE(::chmod(QFile::encodeName(shown).constData(), 0777), 0);
    }
    const TFinished finished = RunProgram(db.Path(), service.Host(), options);
    QCOMPARE(finished.ExitCode, exitCode);
    QVERIFY2(finished.Err.split('\n').contains(said.arg(shown)), qPrintable(finished.Err));
    QCOMPARE(ReadFile(target), QString("not the report\n"));
    if (place == "open folder") QCOMPARE(QDir(shown).entryList(QDir::Files), QStringList{});
    QCOMPARE(SendDates(db).at(1), std::string(exitCode == kExitCommitted ? "2024-03-05 14:07:09.000" : kOldDate));
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
