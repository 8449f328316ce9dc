// Nothing is written unless the run completes: the program is killed, or
// ended by a termination signal, while it walks the goods lines, and the
// database must hold exactly its old values afterwards.
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <csignal>

#ifndef ORDERDATES_UNDER_TEST
#error "ORDERDATES_UNDER_TEST must name the program built for the tests"
#endif

using namespace od;
using namespace od::apptest;

namespace {

void StartProgram(QProcess& program, const std::string& dbName, const std::string& host) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  environment.insert("LANG", "ru_RU.UTF-8");
  environment.insert("LC_ALL", "ru_RU.UTF-8");
  environment.insert("ORDERDATES_TEST_DB_NAME", QString::fromStdString(dbName));
  environment.insert("ORDERDATES_TEST_SERVICE_HOST", QString::fromStdString(host));
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::ForwardedChannels);
  program.start(QStringLiteral(ORDERDATES_UNDER_TEST), {});
  QVERIFY(program.waitForStarted(30000));
}

} // namespace

class ProgramKillTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() { test::TestRunDirectory(); }

  // A termination signal ends the program cleanly wherever it is: nothing
  // committed, status 128 + the signal's number, no crash.
  void signalEndsTheProgramCleanly_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM waiting for the service") << SIGTERM;
    QTest::newRow("SIGINT waiting for the service") << SIGINT;
    QTest::newRow("SIGHUP waiting for the service") << SIGHUP;
  }
  void signalEndsTheProgramCleanly() {
    QFETCH(int, signal);
    constexpr int kHeldRequest = 3;
    test::TestDatabase db("signal");
    CreateOrderSchema(db);
    db.Execute("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < 200) DO BEGIN INSERT INTO "
               "TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (:I + 1, MOD(:I, 50) + 1, "
               "TIMESTAMP '2001-01-01 12:00:00'); I = I + 1; END END");
    const std::map<int, std::string> before = SendDates(db);

    HoldingService held(kHeldRequest);
    demo::TOrderService& service = held.Service();

    QProcess program;
    StartProgram(program, db.Path(), service.Host());
    QTRY_VERIFY_WITH_TIMEOUT(service.RequestCount() >= std::size_t{kHeldRequest}, 60000);
    QCOMPARE(program.state(), QProcess::Running);

    QCOMPARE(::kill(static_cast<pid_t>(program.processId()), signal), 0);
    const bool finished = program.waitForFinished(30000);
    held.Release();
    service.Stop();
    QVERIFY2(finished, "the program did not end");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 128 + signal);
    QCOMPARE(SendDates(db), before);
    QCOMPARE(UpdateLog(db).size(), std::size_t{0});
  }

  void killedRunCommitsNothing_data() {
    QTest::addColumn<int>("killAtRequest");
    QTest::newRow("early in the walk") << 3;
    QTest::newRow("deep in the walk") << 1500;
  }
  void killedRunCommitsNothing() {
    QFETCH(int, killAtRequest);
    constexpr int kGoods = 20000;
    constexpr int kOrders = 4000;
    test::TestDatabase db("kill");
    CreateOrderSchema(db);
    db.Execute("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(kGoods) +
               ") DO BEGIN INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (:I + 1, "
               "MOD(:I, " +
               std::to_string(kOrders) +
               ") + 1, DATEADD(:I SECOND TO TIMESTAMP '2001-01-01 12:00:00')); I = I + "
               "1; END END");
    const std::map<int, std::string> before = SendDates(db);
    QCOMPARE(static_cast<int>(before.size()), kGoods);

    HoldingService held(killAtRequest);
    demo::TOrderService& service = held.Service();

    QProcess program;
    StartProgram(program, db.Path(), service.Host());
    QTRY_VERIFY_WITH_TIMEOUT(service.RequestCount() >= static_cast<std::size_t>(killAtRequest), 240000);
    QCOMPARE(program.state(), QProcess::Running);

    program.kill(); // SIGKILL
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    held.Release();
    service.Stop();

    // Earlier orders were answered and their goods lines updated inside the
    // run's transaction; none of it may have reached the database.
    QCOMPARE(SendDates(db), before);
    QCOMPARE(UpdateLog(db).size(), std::size_t{0});
  }
};

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ProgramKillTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "ProgramKillTest.moc"
