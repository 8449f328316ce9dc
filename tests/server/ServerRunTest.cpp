// The program as a shop runs it: against a Firebird server over TCP
// (127.0.0.1/PORT:file), with the user and password from the environment.
// One private server of the distribution serves every row; the program runs
// in a process of its own on the offscreen platform, its message boxes
// written down and answered by the box-answer plugin; the table is checked
// through a second attachment to the same server.
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"
#include "tests/net/ScriptedServer.h"
#include "tests/server/support/FirebirdServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <memory>

#ifndef ORDERDATES_PROGRAM
#error "ORDERDATES_PROGRAM must name the program"
#endif
#ifndef BOX_ANSWER_PLUGINS
#error "BOX_ANSWER_PLUGINS must name the folder of the box-answer plugin"
#endif

using namespace od;
using namespace od::apptest;

namespace {

const char kStored[] = "2024-03-05 14:07:09.000";

// The boxes the program showed: "icon<TAB>title<TAB>text" per box.
QStringList ShownBoxes(const QString& log) {
  QFile file(log);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class ServerRunTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() {
    test::TestRunDirectory();
    try {
      server_ = std::make_unique<test::FirebirdServer>(test::kTestUser, test::kTestPassword);
      server_->Start();
    } catch (const std::exception& e) {
      QFAIL(e.what());
    }
  }
  void cleanupTestCase() { server_.reset(); }
  // A row that failed between killing and restarting the server leaves it
  // down; the next row gets it back.
  void init() {
    try {
      if (server_ != nullptr) server_->Start();
    } catch (const std::exception& e) {
      QFAIL(e.what());
    }
  }

  void run_data() {
    QTest::addColumn<int>("goods");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("serverListens");
    QTest::addColumn<int>("killAtRequest");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("report");

    const int plain = QMessageBox::NoIcon;
    const int critical = QMessageBox::Critical;
    const QString right = QString::fromLatin1(test::kTestPassword);
    const QString stopped = "orderdates: stopped before the commit";
    QTest::newRow("whole run") << 30 << right << true << 0 << plain << U("Даты восстановлены") << 0
                               << "orderdates: updated 30 of 30 goods lines";
    QTest::newRow("wrong password") << 30 << "not-" + right << true << 0 << critical
                                    << "Your user name and password are not defined" << 3 << stopped;
    QTest::newRow("server not running") << 30 << right << false << 0 << critical
                                        << "Unable to complete network request to host" << 3 << stopped;
    // Killed while the program waits for an order's answer, with the
    // UPDATEs of earlier orders executed in its transaction.
    QTest::newRow("server killed in the walk")
        << 2000 << right << true << 150 << critical << "data to the connection" << 3 << stopped;
  }

  void run() {
    QFETCH(int, goods);
    QFETCH(QString, password);
    QFETCH(bool, serverListens);
    QFETCH(int, killAtRequest);
    QFETCH(int, icon);
    QFETCH(QString, boxText);
    QFETCH(int, exitCode);
    QFETCH(QString, report);
    QVERIFY(server_ != nullptr && server_->Running());

    constexpr int kGoodsPerOrder = 5;
    test::TestDatabase db(test::TestDatabase::OnServer{server_->Address()}, "server");
    CreateOrderSchema(db);
    db.Execute("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(goods) +
               ") DO BEGIN INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (:I + 1, "
               "MOD(:I, " +
               std::to_string(goods / kGoodsPerOrder) +
               ") + 1, DATEADD(:I SECOND TO TIMESTAMP '2001-01-01 12:00:00')); I = I + 1; END END");
    const std::map<int, std::string> before = SendDates(db);
    QCOMPARE(static_cast<int>(before.size()), goods);

    HoldingService service(killAtRequest);
    // Bound and never listening: a connection is refused, as to a host whose
    // server is not running.
    test::RefusingPort refusing;
    const std::string connection =
        serverListens ? server_->Connection(db.File()) : "127.0.0.1/" + refusing.PortText() + ":" + db.File();
    const QString boxLog = QString::fromStdString(test::TestRunDirectory()) + "/boxes-" + QTest::currentDataTag();

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("LANG", "ru_RU.UTF-8");
    environment.insert("LC_ALL", "ru_RU.UTF-8");
    environment.insert("QT_PLUGIN_PATH", BOX_ANSWER_PLUGINS);
    environment.insert("QT_QPA_GENERIC_PLUGINS", "odboxanswer");
    environment.insert("ORDERDATES_TEST_BOX_LOG", boxLog);
    environment.insert("ISC_USER", test::kTestUser);
    environment.insert("ISC_PASSWORD", password);
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    program.start(ORDERDATES_PROGRAM, {"--database", QString::fromStdString(connection), "--service",
                                       QString::fromStdString(service.Service().Host())});
    QVERIFY(program.waitForStarted(30000));

    if (killAtRequest > 0) {
      QTRY_VERIFY_WITH_TIMEOUT(service.Service().RequestCount() >= static_cast<std::size_t>(killAtRequest), 120000);
      QCOMPARE(program.state(), QProcess::Running);
      server_->Kill();
      service.Release();
    }

    // The program ends by itself once its boxes are answered: no hang on a
    // server that refuses, is missing or went away.
    const bool finished = program.waitForFinished(120000);
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    QVERIFY2(finished, qPrintable(errors));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == exitCode, qPrintable(errors));
    // The report's last line says how the run ended (Qt's own warnings may
    // come after it).
    const QStringList reportLines = errors.split('\n').filter(QRegularExpression("^orderdates: "));
    QVERIFY2(!reportLines.isEmpty() && reportLines.back().startsWith(report), qPrintable(errors));

    if (!server_->Running()) {
      try {
        server_->Start();
      } catch (const std::exception& e) {
        QFAIL(e.what());
      }
      db.MoveTo({server_->Address()});
    }

    // Exactly one box: the final message or the error that stopped the run.
    const QStringList boxes = ShownBoxes(boxLog);
    QVERIFY2(boxes.size() == 1, qPrintable(boxes.join('\n')));
    const QStringList box = boxes.front().split('\t');
    QCOMPARE(box.size(), 3);
    QCOMPARE(box.at(0).toInt(), icon);
    QCOMPARE(box.at(1), U("Восстановление БД"));
    QVERIFY2(box.at(2).contains(boxText), qPrintable(box.at(2)));

    const bool updated = exitCode == 0;
    std::map<int, std::string> expected = before;
    if (updated) {
      for (auto& [id, date] : expected) date = kStored;
    } else if (killAtRequest == 0) {
      QCOMPARE(service.Service().RequestCount(), std::size_t{0});
    }
    QCOMPARE(SendDates(db), expected);
    QCOMPARE(static_cast<int>(UpdateLog(db).size()), updated ? goods : 0);
  }

private:
  std::unique_ptr<test::FirebirdServer> server_;
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ServerRunTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ServerRunTest.moc"
