// The program without a window and without any display: real runs of the
// installed program's build with DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM
// unset, against real databases and a real order service.
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#ifndef ORDERDATES_PROGRAM
#error "ORDERDATES_PROGRAM must name the program"
#endif

using namespace od;
using namespace od::apptest;

namespace {

constexpr char kDate[] = "05.03.2024 14:07:09";
constexpr char kStored[] = "2024-03-05 14:07:09.000";

QProcessEnvironment WithoutDisplay() {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(name);
  environment.insert("LANG", "ru_RU.UTF-8");
  environment.insert("LC_ALL", "ru_RU.UTF-8");
  return environment;
}

QStringList Options(const std::string& db, const std::string& host) {
  return {"--no-window", "--database", QString::fromStdString(db), "--service", QString::fromStdString(host)};
}

struct TFinished {
  bool Normal = false; // ended by exit, not by a signal or a crash
  int ExitCode = -1;
  QString Out;
  QString Err;
};

TFinished Finish(QProcess& process) {
  TFinished finished;
  if (!process.waitForFinished(120000)) {
    process.kill();
    process.waitForFinished(30000);
    return finished;
  }
  finished.Normal = process.exitStatus() == QProcess::NormalExit;
  finished.ExitCode = process.exitCode();
  finished.Out = QString::fromUtf8(process.readAllStandardOutput());
  finished.Err = QString::fromUtf8(process.readAllStandardError());
  return finished;
}

TFinished Run(const QStringList& args, const QProcessEnvironment& environment = WithoutDisplay()) {
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(QStringLiteral(ORDERDATES_PROGRAM), args);
  process.waitForStarted(30000);
  return Finish(process);
}

// What a terminal shows of `bytes`: carriage returns go back to the start of
// the line, ESC [ K erases to its end, line feeds end it.
QStringList ScreenLines(const QString& bytes, QString& unfinished) {
  QStringList lines;
  QString line;
  qsizetype column = 0;
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const QChar c = bytes.at(i);
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines << line;
      line.clear();
      column = 0;
    } else if (c == '\x1b' && bytes.mid(i, 3) == "\x1b[K") {
      line.truncate(column);
      i += 2;
    } else {
      if (column < line.size())
        line[column] = c;
      else
        line += c;
      ++column;
    }
  }
  unfinished = line;
  return lines;
}

// A run with standard error on a pseudo-terminal `columns` wide (standard
// output stays a pipe): every byte that reached the terminal.
struct TOnTerminal {
  int ExitCode = -1;
  QString Out;
  QByteArray Shown;
};

TOnTerminal RunOnTerminal(const QStringList& args, const QProcessEnvironment& environment, int columns) {
  TOnTerminal run;
  int master = -1;
  int terminal = -1;
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = 24;
  if (::openpty(&master, &terminal, nullptr, nullptr, &size) != 0) return run;
  QProcess process;
  process.setProcessEnvironment(environment);
  process.setChildProcessModifier([terminal] { ::dup2(terminal, STDERR_FILENO); });
  process.start(QStringLiteral(ORDERDATES_PROGRAM), args);
  process.waitForStarted(30000);
  ::close(terminal);
  auto drain = [&] {
    char buffer[4096];
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) return;
      run.Shown.append(buffer, static_cast<int>(n));
    }
  };
  QElapsedTimer waited;
  waited.start();
  while (!process.waitForFinished(20) && waited.elapsed() < 120000) drain();
  drain();
  ::close(master);
  if (process.state() != QProcess::NotRunning) {
    process.kill();
    process.waitForFinished(30000);
    return run;
  }
  run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.Out = QString::fromUtf8(process.readAllStandardOutput());
  return run;
}

} // namespace

class NoWindowTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { test::TestRunDirectory(); }

  void runs_data() {
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<bool>("databaseThere");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("errStarts");
    QTest::addColumn<bool>("written");
    // Order 9 has no date: its goods line keeps its value, and the status
    // says so. Standard output has the window box's lines, up to the report
    // file's name.
    const QString counts =
        U("\n\nОбновлено 2 из 3 строк товаров\nНе изменено: 1, из них:\n  запрос к сервису не выполнен: 1\n"
          "Подробности по каждому заказу записаны в файл:\n");
    QTest::newRow("whole run") << QStringList{} << true << 4 << U("Даты восстановлены") + counts
                               << "orderdates: order 9: 1 goods line kept" << true;
    QTest::newRow("dry run") << QStringList{"--dry-run"} << true << 4
                             << U("Проверка завершена, изменения не сохранены") +
                                    QString(counts).replace(U("Обновлено"), U("Было бы обновлено"))
                             << "orderdates: order 9: 1 goods line kept" << false;
    QTest::newRow("database cannot be opened")
        << QStringList{} << false << 3 << QString()
        << "orderdates: stopped before the commit after 0 goods lines, nothing saved: Form2.DB:" << false;
  }
  void runs() {
    QFETCH(QStringList, extra);
    QFETCH(bool, databaseThere);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, errStarts);
    QFETCH(bool, written);
    test::TestDatabase db("terminal");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 7}, {3, 9}});
    demo::TOrderService service(ScriptedHandler({{"7", std::string(kDate) + "\r\n"}}));
    const std::string path = databaseThere ? db.Path() : test::TestRunDirectory() + "/missing/none.fdb";

    const TFinished finished = Run(Options(path, service.Host()) + extra);
    QVERIFY2(finished.Normal, qPrintable(finished.Err));
    QCOMPARE(finished.ExitCode, exitCode);
    QVERIFY2(finished.Out.startsWith(out), qPrintable(finished.Out));
    QVERIFY2(finished.Err.startsWith(errStarts), qPrintable(finished.Err));
    // Not a terminal: no progress drawing at all.
    QVERIFY2(!finished.Err.contains('\r'), qPrintable(finished.Err));
    if (!databaseThere) {
      // The error once, in the report's line, and nothing waits for a click.
      QCOMPARE(finished.Err.count("Unsuccessful execution"), 1);
      return;
    }
    QVERIFY2(finished.Err.contains("orderdates: " + QString(written ? "updated" : "would update") + " 2 of 3"),
             qPrintable(finished.Err));
    const std::string date = written ? kStored : kOldDate;
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, date}, {2, date}, {3, kOldDate}}));
  }

  // Standard output has what the window's box would: the headline of a run
  // that restored nothing, the counts, the reason, where the report is.
  void totalFailureOnStandardOutput() {
    test::TestDatabase db("terminal-total");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 7}, {3, 9}});
    demo::TOrderService service(ScriptedHandler({}));
    const QString report = QString::fromStdString(test::TestRunDirectory()) + "/total.log";
    const TFinished finished = Run(Options(db.Path(), service.Host()) + QStringList{"--report", report});
    QCOMPARE(finished.ExitCode, 5);
    QCOMPARE(finished.Out, U("Даты не восстановлены\n\nОбновлено 0 из 3 строк товаров\nНе изменено: 3, из них:\n"
                             "  запрос к сервису не выполнен: 3\n"
                             "Подробности по каждому заказу записаны в файл:\n") +
                               report + "\n");
  }

  void terminationSignalMidRun() {
    test::TestDatabase db("terminal-signal");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 8}, {3, 9}});
    HoldingService held(2);
    QProcess process;
    process.setProcessEnvironment(WithoutDisplay());
    process.start(QStringLiteral(ORDERDATES_PROGRAM), Options(db.Path(), held.Service().Host()));
    QVERIFY(process.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(held.Service().RequestCount() >= 2, 60000);
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGTERM), 0);
    const TFinished finished = Finish(process);
    QVERIFY(finished.Normal);
    QCOMPARE(finished.ExitCode, 128 + SIGTERM);
    QVERIFY2(finished.Err.contains("orderdates: stopped before the commit"), qPrintable(finished.Err));
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, kOldDate}, {3, kOldDate}}));
  }

  // A second signal while the program winds down after the first (here a
  // rollback that the database makes last a minute) ends it at once, with
  // that signal's status; nothing is committed either way.
  void secondSignalDuringTheRollback_data() {
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::newRow("Ctrl+C twice") << SIGINT << SIGINT;
    QTest::newRow("SIGTERM twice") << SIGTERM << SIGTERM;
  }
  void secondSignalDuringTheRollback() {
    QFETCH(int, first);
    QFETCH(int, second);
    test::TestDatabase db("terminal-second-signal");
    CreateOrderSchema(db);
    db.Execute("CREATE TRIGGER SLOW_ROLLBACK ON TRANSACTION ROLLBACK AS DECLARE T TIMESTAMP; BEGIN "
               "IF (EXISTS(SELECT 1 FROM UPDATE_LOG)) THEN BEGIN T = CAST('NOW' AS TIMESTAMP); "
               "WHILE (DATEDIFF(SECOND FROM T TO CAST('NOW' AS TIMESTAMP)) < 60) DO T = T; END END");
    InsertGoods(db, {{1, 7}, {2, 8}});
    // Order 7 is written; order 8's answer never comes.
    HoldingService held(2);
    QProcess process;
    process.setProcessEnvironment(WithoutDisplay());
    process.start(QStringLiteral(ORDERDATES_PROGRAM), Options(db.Path(), held.Service().Host()));
    QVERIFY(process.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(held.Service().RequestCount() >= 2, 60000);
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), first), 0);
    // The run has stopped and the rollback is under way.
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += QString::fromUtf8(process.readAllStandardError())).contains("stopped before"),
                             60000);
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), second), 0);
    QVERIFY2(process.waitForFinished(20000), "the second signal did not end the program");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 128 + second);
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, kOldDate}}));
  }

  void terminationSignalWithRequestsInFlight() {
    test::TestDatabase db("terminal-in-flight");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 1}, {2, 2}, {3, 2}, {4, 2}, {5, 3}, {6, 4}, {7, 5}, {8, 6}, {9, 7}});
    // Order 1 answers; the others hang until the test ends.
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    demo::TOrderService service(
        [&](const std::string& target) {
          if (demo::OrderOfTarget(target) != "1") {
            std::unique_lock lock(mutex);
            released.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
          }
          return ScriptedReply(std::string(kDate) + "\r\n");
        },
        0, 8);
    QProcess process;
    process.setProcessEnvironment(WithoutDisplay());
    process.start(QStringLiteral(ORDERDATES_PROGRAM), Options(db.Path(), service.Host()) << "--parallel"
                                                                                         << "4");
    QVERIFY(process.waitForStarted(30000));
    // Orders 2 to 5 in flight, all hanging.
    QTRY_VERIFY_WITH_TIMEOUT(service.RequestCount() >= 5, 60000);
    QElapsedTimer clock;
    clock.start();
    // Ctrl+C.
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGINT), 0);
    const TFinished finished = Finish(process);
    const qint64 took = clock.elapsed();
    {
      std::lock_guard lock(mutex);
      release = true;
      released.notify_all();
    }
    QVERIFY(finished.Normal);
    QCOMPARE(finished.ExitCode, 128 + SIGINT);
    // Far below the client's time-outs: nothing waited for the hanging
    // answers.
    QVERIFY2(took < 10000, qPrintable(QString::number(took)));
    qInfo("ended %lld ms after the signal", static_cast<long long>(took));
    // The order whose answer the walk was waiting for, with all its goods
    // lines: stopped, not timed out.
    QVERIFY2(finished.Err.contains("orderdates: order 2: 3 goods lines kept, stopped: the run was stopped before "
                                   "the answer came\norderdates: stopped before the commit after 4 goods lines"),
             qPrintable(finished.Err));
    QCOMPARE(SendDates(db).at(1), std::string(kOldDate));
    QVERIFY(UpdateLog(db).empty());
  }

  void windowWithoutDisplay_data() {
    QTest::addColumn<QString>("display");
    QTest::newRow("no display named") << QString();
    // A display that nobody serves.
    QTest::newRow("display not there") << ":97";
  }
  void windowWithoutDisplay() {
    QFETCH(QString, display);
    QProcessEnvironment environment = WithoutDisplay();
    if (!display.isEmpty()) environment.insert("DISPLAY", display);
    const TFinished finished = Run({"--database", "/nonexistent/x.fdb"}, environment);
    QVERIFY2(finished.Normal, "ended by a signal: a core, not a message");
    QCOMPARE(finished.ExitCode, 1);
    const QStringList lines = finished.Err.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), qsizetype{1});
    QVERIFY2(lines.front().startsWith("orderdates: no display") && lines.front().contains("--no-window"),
             qPrintable(finished.Err));
  }

  void progressLineOnATerminal() {
    constexpr int kColumns = 60;
    test::TestDatabase db("terminal-progress");
    CreateOrderSchema(db);
    std::vector<std::pair<int, int>> goods;
    for (int i = 1; i <= 60; ++i) goods.emplace_back(i, 100 + i / 2);
    InsertGoods(db, goods);
    // A little slow, so that the line redraws on the way; order 110 has no
    // date, so that a report line comes in the middle of the walk.
    demo::TOrderService service([](const std::string& target) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (demo::OrderOfTarget(target) == "110") return ScriptedReply("404:Not found\r\n");
      return ScriptedReply(U("05.03.2024 14:07:09\r\n").toStdString());
    });

    const TOnTerminal run = RunOnTerminal(Options(db.Path(), service.Host()), WithoutDisplay(), kColumns);
    QCOMPARE(run.ExitCode, 4);
    // The report is on the terminal: no file to name.
    QCOMPARE(run.Out, U("Даты восстановлены\n\nОбновлено 58 из 60 строк товаров\nНе изменено: 2, из них:\n"
                        "  запрос к сервису не выполнен: 2\n"
                        "Подробности по каждому заказу выводятся в стандартный поток ошибок.\n"
                        "Повторный запуск с --only-missing обработает только строки товаров без даты.\n"));
    const QByteArray& shown = run.Shown;

    const QString text = QString::fromUtf8(shown);
    // Drawn in place: several frames, each a carriage return away from the
    // last, each with its percentage and within the terminal's width.
    const QStringList frames = text.split("\x1b[K", Qt::SkipEmptyParts);
    int drawn = 0;
    for (QString frame : frames) {
      frame = frame.section('\r', 0, 0).section('\n', 0, 0);
      if (!frame.contains('%')) continue;
      ++drawn;
      QVERIFY2(frame.size() < kColumns, qPrintable(frame));
    }
    QVERIFY2(drawn >= 2, qPrintable(text));
    // What stays on the screen: the report lines alone, each whole; the
    // progress line was cleared before each and replaced at the end.
    QString unfinished;
    const QStringList lines = ScreenLines(text, unfinished);
    QVERIFY2(unfinished.isEmpty(), qPrintable(unfinished));
    QCOMPARE(lines.size(), qsizetype{2});
    QVERIFY2(lines.at(0).startsWith("orderdates: order 110: 2 goods lines kept"), qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).startsWith("orderdates: updated 58 of 60"), qPrintable(lines.at(1)));
  }
  // A service's bytes that a terminal would obey (ESC, and CSI as the one
  // byte 0x9B, which in code page 1251 is a letter-like "›" and survives the
  // conversion to a single-byte terminal's code set) reach the terminal
  // shown, never as they came, whatever the terminal's code set.
  void controlBytesNeverReachTheTerminal_data() {
    QTest::addColumn<QString>("locale");
    QTest::newRow("single-byte terminal") << "ru_RU.CP1251";
    QTest::newRow("UTF-8 terminal") << "ru_RU.UTF-8";
  }
  void controlBytesNeverReachTheTerminal() {
    QFETCH(QString, locale);
    test::TestDatabase db("terminal-controls");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 9}, {3, 11}});
    demo::TOrderService service(ScriptedHandler({{"7", "\x9b"
                                                       "2J\x1b[31mgone\r\n"},
                                                 {"9", "\xc2\x9b"
                                                       "2J\xc2\x9d"
                                                       "0;title\x07\r\n"},
                                                 {"11", std::string(kDate) + "\r\n"}}));
    QProcessEnvironment environment = WithoutDisplay();
    environment.insert("LANG", locale);
    environment.insert("LC_ALL", locale);
    const TOnTerminal run = RunOnTerminal(Options(db.Path(), service.Host()), environment, 200);
    QCOMPARE(run.ExitCode, 4);
    const QByteArray& shown = run.Shown;
    QVERIFY2(shown.contains("\\x9B2J"), shown.constData());
    QVERIFY2(!shown.contains('\x9b') && !shown.contains('\x9d'), shown.toHex(' ').constData());
    // The only escape sequence is the progress line's own erase.
    for (qsizetype at = shown.indexOf('\x1b'); at >= 0; at = shown.indexOf('\x1b', at + 1))
      QVERIFY2(shown.mid(at, 3) == "\x1b[K", shown.toHex(' ').constData());
  }
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  NoWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "NoWindowTest.moc"
