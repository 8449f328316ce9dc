// The restoration run end to end: a real window on the offscreen platform, a
// real database on the embedded engine and a real order service on a
// loopback port. Contents are checked afterwards through a second attachment.
#include "base/Exception.h"
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "tests/app/support/AppTestSupport.h"
#include "tests/db/support/TestDatabase.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/LocaleFormats.h"
#include "window/Application.h"
#include "window/Dialogs.h"
#include "window/Form2.h"
#include "window/Program.h"
#include "window/ProgressBar.h"
#include "window/Timer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <clocale>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

using namespace od;
using namespace od::apptest;

namespace {

const char kDateA[] = "05.03.2024 14:07:09";
const char kStoredA[] = "2024-03-05 14:07:09.000";
const char kDateB[] = "06.03.2024 10:00:00";
const char kStoredB[] = "2024-03-06 10:00:00.000";
const char kDateC[] = "29.02.2024 23:59:58";
const char kStoredC[] = "2024-02-29 23:59:58.000";

// "1:7 2:7 3:null" -> goods lines; null order numbers get their own insert.
void InsertGoodsText(const test::TestDatabase& db, const QString& goods) {
  std::vector<std::pair<int, int>> lines;
  for (const QString& item : goods.split(' ', Qt::SkipEmptyParts)) {
    const QStringList parts = item.split(':');
    if (parts.at(1) == "null") {
      db.Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (" + parts.at(0).toStdString() +
                 ", NULL, TIMESTAMP '2001-01-01 12:00:00')");
      continue;
    }
    lines.emplace_back(parts.at(0).toInt(), parts.at(1).toInt());
  }
  InsertGoods(db, lines);
}

// "7|body" entries -> order number -> script.
std::map<std::string, std::string> Scripts(const QStringList& answers) {
  std::map<std::string, std::string> scripts;
  for (const QString& answer : answers) {
    const qsizetype bar = answer.indexOf('|');
    scripts[answer.left(bar).toStdString()] = answer.mid(bar + 1).toStdString();
  }
  return scripts;
}

QString DescribeDates(const std::map<int, std::string>& dates) {
  QStringList items;
  for (const auto& [id, date] : dates) items << QString::number(id) + "=" + QString::fromStdString(date);
  return items.join(", ");
}

// Sets the C library's locale for one test and puts the earlier one back.
class TLocaleGuard {
public:
  explicit TLocaleGuard(const char* name) : saved_(std::setlocale(LC_ALL, nullptr)) {
    if (std::setlocale(LC_ALL, name) == nullptr) qFatal("locale %s is not installed", name);
  }
  ~TLocaleGuard() { std::setlocale(LC_ALL, saved_.c_str()); }
  TLocaleGuard(const TLocaleGuard&) = delete;
  TLocaleGuard& operator=(const TLocaleGuard&) = delete;

private:
  std::string saved_;
};

// Tells each paint of the label it watches, with the text painted.
class TPaintRecorder : public QObject {
public:
  explicit TPaintRecorder(std::function<void(const QString&)> painted) : painted_(std::move(painted)) {}

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint)
      if (auto* label = qobject_cast<QLabel*>(watched)) painted_(label->text());
    return false;
  }

private:
  std::function<void(const QString&)> painted_;
};

QString RequestLine(const std::string& head) { return QString::fromStdString(head.substr(0, head.find("\r\n"))); }

QString OrderRequestLine(const QString& order) {
  return "GET /server_scripts/get_zakaz_dt.php?zakaz_id=" + order + " HTTP/1.0";
}

} // namespace

class Form2RunTest : public QObject {
  Q_OBJECT

private slots:
  void initTestCase() {
    test::TestRunDirectory();
    LoadLocaleFormatsFrom("ru_RU.UTF-8");
    QCOMPARE(LocaleFormats.ShortDatePattern, std::string("dd.MM.yyyy"));
    SetCurrentYearSource([] { return 2024; });
  }
  void cleanupTestCase() { SetCurrentYearSource({}); }
  void init() { Application()->ClearTerminated(); }
  void cleanup() { QVERIFY2(TopLevelNames().isEmpty(), qPrintable(TopLevelNames().join(", "))); }

  void run_data() {
    QTest::addColumn<QString>("goods");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("countSql");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QStringList>("updated");
    QTest::addColumn<int>("updates");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("barMax");
    QTest::addColumn<int>("barPosition");

    const int enter = static_cast<int>(TAnswer::Enter);
    const int escape = static_cast<int>(TAnswer::Escape);
    const int click = static_cast<int>(TAnswer::Click);
    const QString a = QString(kDateA) + "\r\n";
    const QString b = QString(kDateB) + "\r\n";
    const QString c = QString(kDateC) + "\r\n";
    const QString counting = U("Подсчет количества");

    QTest::newRow("no goods lines of an order") << "1:0 2:-4 3:null" << QStringList{"0|" + a} << QString() << enter
                                                << QStringList{} << QStringList{} << 0 << counting << 0 << 0;
    QTest::newRow("two orders, five goods lines, Enter")
        << "1:7 2:7 3:7 4:9 5:9 6:0" << QStringList{"7|" + a, "9|" + b} << QString() << enter << QStringList{"7", "9"}
        << QStringList{QString("1=") + kStoredA, QString("2=") + kStoredA, QString("3=") + kStoredA,
                       QString("4=") + kStoredB, QString("5=") + kStoredB}
        << 5 << U("Заказ 9 - ") + kDateB << 5 << 5;
    QTest::newRow("two orders, Escape") << "1:9 2:7 3:9 4:7 5:7" << QStringList{"7|" + a, "9|" + b} << QString()
                                        << escape << QStringList{"7", "9"}
                                        << QStringList{QString("1=") + kStoredB, QString("2=") + kStoredA,
                                                       QString("3=") + kStoredB, QString("4=") + kStoredA,
                                                       QString("5=") + kStoredA}
                                        << 5 << U("Заказ 9 - ") + kDateB << 5 << 5;
    QTest::newRow("service closes on order 7")
        << "1:5 2:7 3:7 4:7 5:9 6:9" << QStringList{"5|" + c, "7|<close>", "9|" + b} << QString() << click
        << QStringList{"5", "7", "9"}
        << QStringList{QString("1=") + kStoredC, QString("5=") + kStoredB, QString("6=") + kStoredB} << 3
        << U("Заказ 9 - ") + kDateB << 6 << 6;
    QTest::newRow("service resets on order 7")
        << "1:5 2:7 3:7 4:9" << QStringList{"5|" + c, "7|<reset>", "9|" + b} << QString() << enter
        << QStringList{"5", "7", "9"} << QStringList{QString("1=") + kStoredC, QString("4=") + kStoredB} << 2
        << U("Заказ 9 - ") + kDateB << 4 << 4;
    QTest::newRow("first line is no date-time")
        << "1:7 2:7 3:9" << QStringList{"7|404:Not found\r\n", "9|" + b} << QString() << enter << QStringList{"7", "9"}
        << QStringList{QString("3=") + kStoredB} << 1 << U("Заказ 9 - ") + kDateB << 3 << 3;
    QTest::newRow("last order is no date-time")
        << "1:5 2:7 3:7" << QStringList{"5|" + c, "7|" + U("Заказ не найден") + "\r\n"} << QString() << enter
        << QStringList{"5", "7"} << QStringList{QString("1=") + kStoredC} << 1 << U("Заказ 5 - ") + kDateC << 3 << 3;
    QTest::newRow("several lines") << "1:7 2:7" << QStringList{"7|" + a + "second line\r\n" + b} << QString() << enter
                                   << QStringList{"7"}
                                   << QStringList{QString("1=") + kStoredA, QString("2=") + kStoredA} << 2
                                   << U("Заказ 7 - ") + kDateA << 2 << 2;
    QTest::newRow("empty first line") << "1:7 2:7 3:9" << QStringList{"7|\r\n" + a, "9|" + b} << QString() << enter
                                      << QStringList{"7", "9"} << QStringList{QString("3=") + kStoredB} << 1
                                      << U("Заказ 9 - ") + kDateB << 3 << 3;
    QTest::newRow("empty answer") << "1:7 2:7 3:9" << QStringList{"7|", "9|" + b} << QString() << enter
                                  << QStringList{"7", "9"} << QStringList{QString("3=") + kStoredB} << 1
                                  << U("Заказ 9 - ") + kDateB << 3 << 3;
    QTest::newRow("date without time") << "1:7" << QStringList{"7|05.03.2024\r\n"} << QString() << enter
                                       << QStringList{"7"} << QStringList{"1=2024-03-05 00:00:00.000"} << 1
                                       << U("Заказ 7 - 05.03.2024") << 1 << 1;
    QTest::newRow("more goods lines than counted")
        << "1:7 2:7 3:7 4:9 5:9" << QStringList{"7|" + a, "9|" + b}
        << "SELECT count(ID) - 3\nFROM\n    TBL_ZAKAZ_TOVARS \nwhere zakaz_id>0" << enter << QStringList{"7", "9"}
        << QStringList{QString("1=") + kStoredA, QString("2=") + kStoredA, QString("3=") + kStoredA,
                       QString("4=") + kStoredB, QString("5=") + kStoredB}
        << 5 << U("Заказ 9 - ") + kDateB << 2 << 2;
  }

  void run() {
    QFETCH(QString, goods);
    QFETCH(QStringList, answers);
    QFETCH(QString, countSql);
    QFETCH(int, answer);
    QFETCH(QStringList, targets);
    QFETCH(QStringList, updated);
    QFETCH(int, updates);
    QFETCH(QString, status);
    QFETCH(int, barMax);
    QFETCH(int, barPosition);

    test::TestDatabase db("run");
    CreateOrderSchema(db);
    InsertGoodsText(db, goods);
    const std::map<int, std::string> before = SendDates(db);
    demo::TOrderService service(ScriptedHandler(Scripts(answers)));
    TForm2Description description = TestDescription(db.Path(), service.Host());
    if (!countSql.isEmpty()) {
      description.SQLCount.clear();
      for (const QString& line : countSql.split('\n')) description.SQLCount.push_back(line.toStdString());
    }

    TBoxWatcher boxes(static_cast<TAnswer>(answer));
    {
      TForm2 form(description);
      form.ShowCentred();
      QTRY_VERIFY_WITH_TIMEOUT(Application()->Terminated(), 60000);
      QCOMPARE(form.Label1()->text(), status);
      QCOMPARE(form.ProgressBar1()->Max(), barMax);
      QCOMPARE(form.ProgressBar1()->Position(), barPosition);
      QVERIFY(!form.Timer1()->Enabled());
      QVERIFY(!form.DB()->Connected());
    }

    // Exactly one message: the final one, answered as the row says.
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.Open(), 0);
    // Its text first; the counts of kept goods lines follow it.
    QCOMPARE(boxes.Boxes().front().Text.section(QLatin1Char('\n'), 0, 0), U("Даты восстановлены"));
    QCOMPARE(boxes.Boxes().front().Title, U("Восстановление БД"));
    QCOMPARE(boxes.Boxes().front().Icon, QMessageBox::NoIcon);

    // One request per order, in order-number order.
    const std::vector<std::string> heads = service.Requests();
    QCOMPARE(static_cast<int>(heads.size()), targets.size());
    for (int i = 0; i < targets.size(); ++i) QCOMPARE(RequestLine(heads[i]), OrderRequestLine(targets[i]));
    if (!heads.empty())
      QVERIFY(
          QString::fromStdString(heads[0]).contains("\r\nHost: " + QString::fromStdString(service.Host()) + "\r\n"));

    std::map<int, std::string> expected = before;
    for (const QString& line : updated) {
      const QStringList parts = line.split('=');
      expected[parts.at(0).toInt()] = parts.at(1).toStdString();
    }
    const std::map<int, std::string> after = SendDates(db);
    QVERIFY2(after == expected, qPrintable(DescribeDates(after) + " expected " + DescribeDates(expected)));
    QCOMPARE(static_cast<int>(UpdateLog(db).size()), updates);
  }

  void databaseCannotBeOpened() {
    // The two likely first-run failures in the user's own language: the
    // system's part of the message and the path read as they were written.
    const TLocaleGuard russian("ru_RU.UTF-8");
    const std::string missing = test::TestRunDirectory() + "/нет-папки/заказы.fdb";
    demo::TOrderService service(ScriptedHandler({}));
    const TForm2Description description = TestDescription(missing, service.Host());

    TBoxWatcher boxes(TAnswer::Enter);
    TForm2 form(description);
    form.ShowCentred();
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Count() == 1 && boxes.Open() == 0, 30000);
    const TShownBox& box = boxes.Boxes().front();
    QCOMPARE(box.Title, U("Восстановление БД"));
    QCOMPARE(box.Icon, QMessageBox::Critical);
    QCOMPARE(box.Text, "Form2.DB:\r\n"
                       "Unsuccessful execution caused by a system error that precludes successful execution of "
                       "subsequent statements.\r\n"
                       "I/O error during \"open\" operation for file \"" +
                           QString::fromStdString(missing) +
                           "\".\r\n"
                           "Error while trying to open file.\r\n" +
                           U("Нет такого файла или каталога.") + "\r\n");
    // The window stays, idle, showing where it stopped.
    QVERIFY(form.isVisible());
    QCOMPARE(form.Label1()->text(), U("Открытие БД"));
    QVERIFY(!form.Timer1()->Enabled());
    QVERIFY(!form.Timer1()->Counting());
    QVERIFY(!Application()->Terminated());
    QVERIFY(!form.DB()->Connected());
    QCOMPARE(service.RequestCount(), std::size_t{0});
  }

  void databaseOpensOnlyInTheRunsOwnStep() {
    test::TestDatabase db("own-step");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 7}});
    demo::TOrderService service(ScriptedHandler(Scripts({QString("7|") + kDateA + "\r\n"})));
    TForm2Description description = TestDescription(db.Path(), service.Host());
    // The run starts when the test says so.
    description.TimerInterval = 3'600'000;

    TBoxWatcher boxes(TAnswer::Enter);
    TForm2 form(description);
    // The last step of the open fails after the attach has succeeded.
    QStringList labelsAtAttach;
    form.DB()->AfterConnect() = [&](TFbCustomDatabase&) {
      labelsAtAttach << form.Label1()->text();
      throw Exception("the after-connect step failed");
    };
    form.ShowCentred();
    // The start timer's time passes with nothing opened.
    QTest::qWait(200);
    QVERIFY(labelsAtAttach.isEmpty());
    QVERIFY(!form.DB()->Connected());

    form.Timer1Timer(*form.Timer1());
    QCOMPARE(labelsAtAttach, QStringList{U("Открытие БД")});
    QCOMPARE(form.RunState(), TForm2::TRunState::Stopped);
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.Boxes().front().Icon, QMessageBox::Critical);
    QCOMPARE(boxes.Boxes().front().Text, QString("the after-connect step failed."));
    QCOMPARE(service.RequestCount(), std::size_t{0});
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, kOldDate}}));
  }

  void windowShowsTheCurrentOrderWhileTheServiceStalls() {
    test::TestDatabase db("stall");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 9}});
    // The label's text each time it is painted; the service holds the
    // second request until the first order's status has been painted.
    std::mutex mutex;
    std::condition_variable painted;
    QString lastPainted;
    const QString expected = U("Заказ 7 - ") + kDateA;
    bool paintedWhileHeld = false;
    demo::TOrderService service([&](const std::string& target) {
      if (demo::OrderOfTarget(target) == "9") {
        std::unique_lock lock(mutex);
        paintedWhileHeld = painted.wait_for(lock, std::chrono::seconds(20), [&] { return lastPainted == expected; });
      }
      return ScriptedReply(std::string(kDateA) + "\r\n");
    });

    TBoxWatcher boxes(TAnswer::Enter);
    {
      TForm2 form(TestDescription(db.Path(), service.Host()));
      TPaintRecorder recorder([&](const QString& text) {
        std::lock_guard lock(mutex);
        lastPainted = text;
        painted.notify_all();
      });
      form.Label1()->installEventFilter(&recorder);
      form.ShowCentred();
      QTRY_VERIFY_WITH_TIMEOUT(Application()->Terminated(), 60000);
    }
    QVERIFY(paintedWhileHeld);
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kStoredA}, {2, kStoredA}}));
  }

  void runAborted_data() {
    QTest::addColumn<bool>("withTable");
    QTest::addColumn<QString>("countSql");
    QTest::addColumn<QString>("shown");
    QTest::newRow("goods line table missing") << false << QString() << QString("TBL_ZAKAZ_TOVARS");
    QTest::newRow("count below the bar's minimum") << true << "SELECT -1 FROM RDB$DATABASE"
                                                   << "TProgressBar property out of range.";
  }
  void runAborted() {
    QFETCH(bool, withTable);
    QFETCH(QString, countSql);
    QFETCH(QString, shown);
    test::TestDatabase db("aborted");
    if (withTable) {
      CreateOrderSchema(db);
      InsertGoods(db, {{1, 7}, {2, 9}});
    }
    demo::TOrderService service(ScriptedHandler({{"7", kDateA}, {"9", kDateB}}));
    TForm2Description description = TestDescription(db.Path(), service.Host());
    if (!countSql.isEmpty()) description.SQLCount = {countSql.toStdString()};

    TBoxWatcher boxes(TAnswer::Enter);
    {
      TForm2 form(description);
      form.ShowCentred();
      QTRY_VERIFY_WITH_TIMEOUT(boxes.Count() == 1 && boxes.Open() == 0, 30000);
      const TShownBox& box = boxes.Boxes().front();
      QCOMPARE(box.Title, U("Восстановление БД"));
      QCOMPARE(box.Icon, QMessageBox::Critical);
      if (withTable)
        QCOMPARE(box.Text, shown);
      else
        QVERIFY2(box.Text.startsWith("Form2.SQLCount:") && box.Text.contains(shown), qPrintable(box.Text));
      // Left where it stopped, idle, with the connection still attached.
      QCOMPARE(form.Label1()->text(), U("Подсчет количества"));
      QVERIFY(!form.Timer1()->Counting());
      QVERIFY(!Application()->Terminated());
      QVERIFY(form.DB()->Connected());
      QVERIFY(form.Tr()->Active());
    }
    // Destroying the window let go of the database: it can be read again,
    // and holds nothing of the run.
    QCOMPARE(service.RequestCount(), std::size_t{0});
    if (withTable) QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kOldDate}, {2, kOldDate}}));
  }

  void goodsLineLockedByAnotherAttachment() {
    test::TestDatabase db("locked");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 7}, {2, 7}, {3, 9}});
    demo::TOrderService service(ScriptedHandler({{"7", kDateA}, {"9", kDateB}}));

    // Another program holds an uncommitted change of goods line 2 for the
    // whole run: a run that waited for it would never end.
    TComponent other;
    other.SetName("Other");
    auto* holderDb = new TFbDatabase(&other);
    holderDb->SetDBName(db.Path());
    for (const std::string& line : test::TestDBParams()) holderDb->DBParams().Add(line);
    holderDb->SetSQLDialect(3);
    auto* holderTr = new TFbTransaction(&other);
    holderTr->SetDefaultDatabase(holderDb);
    auto* holder = new TFbQuery(&other);
    holder->SetDatabase(holderDb);
    holder->SetTransaction(holderTr);
    holder->SQL().SetText("UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND = CURRENT_TIMESTAMP WHERE ID = 2");
    holderDb->Open();
    holderTr->StartTransaction();
    holder->ExecQuery();

    TBoxWatcher boxes(TAnswer::Enter);
    {
      TForm2 form(TestDescription(db.Path(), service.Host()));
      form.ShowCentred();
      QTRY_VERIFY_WITH_TIMEOUT(Application()->Terminated(), 60000);
      QCOMPARE(form.ProgressBar1()->Position(), 3);
    }
    QCOMPARE(boxes.Count(), 1);
    // Its text first; the counts of kept goods lines follow it.
    QCOMPARE(boxes.Boxes().front().Text.section(QLatin1Char('\n'), 0, 0), U("Даты восстановлены"));
    QCOMPARE(service.RequestCount(), std::size_t{2});
    holderTr->Rollback();
    holderDb->Close();
    // The other lines were written and committed; the held one kept its date.
    QCOMPARE(SendDates(db), (std::map<int, std::string>{{1, kStoredA}, {2, kOldDate}, {3, kStoredB}}));
    QCOMPARE(UpdateLog(db), (std::vector<int>{1, 3}));
  }

  void attachmentCutDuringWalk() {
    test::TestDatabase db("cut");
    CreateOrderSchema(db);
    InsertGoods(db, {{1, 5}, {2, 5}, {3, 7}, {4, 7}, {5, 9}, {6, 9}});
    demo::TOrderService service(ScriptedHandler({{"5", kDateC}, {"7", kDateA}, {"9", kDateB}}));

    TBoxWatcher boxes(TAnswer::Enter);
    bool cut = false;
    QString statusAtClose;
    // Looked at whenever the program dispatches events: once per goods line
    // during the walk, and while the error is shown.
    QTimer driver;
    driver.setInterval(0);
    QObject::connect(&driver, &QTimer::timeout, [&] {
      if (!cut && service.RequestCount() >= 2) {
        // An administrator cuts the program's attachment from another one.
        db.Execute("DELETE FROM MON$ATTACHMENTS WHERE MON$ATTACHMENT_ID <> CURRENT_CONNECTION "
                   "AND MON$SYSTEM_FLAG = 0");
        cut = true;
        return;
      }
      if (!cut || boxes.Count() == 0 || boxes.Open() != 0) return;
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<TForm2*>(widget)) {
          statusAtClose = form->Label1()->text();
          form->close();
          driver.stop();
        }
      }
    });
    driver.start();
    // Ended without the run's commit.
    QCOMPARE(RunProgram(*Application(), TestDescription(db.Path(), service.Host())), kExitNotCommitted);
    QVERIFY(cut);
    QVERIFY(!driver.isActive());
    // The walk stopped at the cut, and said why.
    QCOMPARE(boxes.Count(), 1);
    const TShownBox& box = boxes.Boxes().front();
    QCOMPARE(box.Icon, QMessageBox::Critical);
    QVERIFY2(box.Text.startsWith("Form2.SQLListZakaz:") && box.Text.contains("Connection shutdown."),
             qPrintable(box.Text));
    QCOMPARE(statusAtClose, U("Заказ 7 - ") + kDateA);
    QCOMPARE(service.RequestCount(), std::size_t{2});
    // Nothing of the run was committed.
    QCOMPARE(SendDates(db),
             (std::map<int, std::string>{
                 {1, kOldDate}, {2, kOldDate}, {3, kOldDate}, {4, kOldDate}, {5, kOldDate}, {6, kOldDate}}));
    QVERIFY(UpdateLog(db).empty());
  }

  void windowClosedDuringRun() {
    test::TestDatabase db("closed");
    CreateOrderSchema(db);
    std::vector<std::pair<int, int>> goods;
    for (int i = 1; i <= 60; ++i) goods.emplace_back(i, 100 + i / 3);
    InsertGoods(db, goods);
    demo::TOrderService service([](const std::string&) { return ScriptedReply(std::string(kDateA) + "\r\n"); });

    TBoxWatcher boxes(TAnswer::None); // nobody answers the final message
    bool closedWhileWalking = false;
    // Looked at whenever the program dispatches events: inside the walk,
    // once per goods line.
    QTimer closer;
    closer.setInterval(0);
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (service.RequestCount() < 2) return;
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<TForm2*>(widget)) {
          closedWhileWalking = !Application()->Terminated();
          form->close();
          closer.stop();
        }
      }
    });
    closer.start();
    QCOMPARE(RunProgram(*Application(), TestDescription(db.Path(), service.Host())), 0);
    QVERIFY(closedWhileWalking);
    // The run went on to its end and committed everything.
    QCOMPARE(service.RequestCount(), std::size_t{21});
    for (const auto& [id, date] : SendDates(db)) QCOMPARE(date, std::string(kStoredA));
    // Its final message closed by itself.
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.Open(), 0);
    QCOMPARE(boxes.Boxes().front().Text, U("Даты восстановлены"));
  }

  void largeRun() {
    constexpr int kGoods = 20000;
    constexpr int kOrders = 4000;
    test::TestDatabase db("large");
    CreateOrderSchema(db);
    // 7919 is prime to 4000: every order gets five goods lines, scattered
    // over the keys.
    db.Execute("EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < " + std::to_string(kGoods) +
               ") DO BEGIN INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID, DATA_TIME_SEND) VALUES (:I + 1, "
               "MOD(:I * 7919, " +
               std::to_string(kOrders) + ") + 1, NULL); I = I + 1; END END");
    const QDateTime base(QDate(2023, 1, 1), QTime(0, 0), Qt::UTC);
    auto dateOf = [&](int order) { return base.addSecs(static_cast<qint64>(order) * 3671); };
    demo::TOrderService service([&](const std::string& target) {
      const int order = std::stoi(demo::OrderOfTarget(target));
      return ScriptedReply(dateOf(order).toString("dd.MM.yyyy HH:mm:ss").toStdString() + "\r\n");
    });

    TBoxWatcher boxes(TAnswer::Enter);
    QElapsedTimer clock;
    clock.start();
    {
      TForm2 form(TestDescription(db.Path(), service.Host()));
      form.ShowCentred();
      QTRY_VERIFY_WITH_TIMEOUT(Application()->Terminated(), 300000);
      QCOMPARE(form.ProgressBar1()->Max(), kGoods);
      QCOMPARE(form.ProgressBar1()->Position(), kGoods);
      // Frames were skipped on the way; the last one shows where the run
      // ended: the last order and the full bar.
      QCOMPARE(form.ProgressBar1()->value(), kGoods);
      QCOMPARE(form.Label1()->text(),
               U("Заказ ") + QString::number(kOrders) + " - " + dateOf(kOrders).toString("dd.MM.yyyy HH:mm:ss"));
    }
    qInfo("%d goods lines over %d orders restored in %lld ms", kGoods, kOrders,
          static_cast<long long>(clock.elapsed()));

    QCOMPARE(service.RequestCount(), std::size_t{kOrders});
    const std::vector<std::string> targets = service.Targets();
    QCOMPARE(std::set<std::string>(targets.begin(), targets.end()).size(), std::size_t{kOrders});
    const auto rows =
        db.Query("SELECT ID, ZAKAZ_ID, " + StoredDateExpression("DATA_TIME_SEND") + " FROM TBL_ZAKAZ_TOVARS");
    QCOMPARE(static_cast<int>(rows.size()), kGoods);
    int right = 0;
    for (const auto& row : rows) {
      const std::string expected = dateOf(std::stoi(row.at(1))).toString("yyyy-MM-dd HH:mm:ss").toStdString() + ".000";
      if (StoredDateText(row.at(2)) == expected) ++right;
    }
    QCOMPARE(right, kGoods);
    QCOMPARE(static_cast<int>(UpdateLog(db).size()), kGoods);
    QCOMPARE(boxes.Count(), 1);
  }
};

int main(int argc, char** argv) {
  od::TApplication app(argc, argv);
  app.SetTitle(od::ProgramTitle());
  Form2RunTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "Form2RunTest.moc"
