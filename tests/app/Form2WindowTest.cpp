// The main window without a database behind it: its description, the
// user-interface operations of the run, the exception display, the modal
// message, closing, start-up and its failure, and the locale reload.
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "tests/app/support/AppTestSupport.h"
#include "text/Cp1251.h"
#include "text/LocaleFormats.h"
#include "window/Application.h"
#include "window/Dialogs.h"
#include "window/Form2.h"
#include "window/Program.h"
#include "window/ProgressBar.h"
#include "window/Timer.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <unistd.h>

using namespace od;
using namespace od::apptest;

namespace {

// A database nobody opens: creating the window must not need one.
TForm2Description Unattached() { return TestDescription("/nonexistent/orderdates-window-test.fdb", "127.0.0.1:9"); }

std::string JoinedSql(TFbQuery* query) { return query->SQL().Text(); }

// Records the order in which the window's parts go.
class TDestructionLog : public IFbDatabaseListener {
public:
  QStringList Order;
  int StatementsLeft = -1;
  void DatabaseDestroying(TFbCustomDatabase& database) noexcept override {
    StatementsLeft = database.StatementCount();
    Order << QStringLiteral("DB");
  }
};

// An event handler that fails.
class TFailingHandler : public QObject {
public:
  int Calls = 0;

protected:
  bool event(QEvent* event) override {
    if (event->type() != QEvent::User) return QObject::event(event);
    ++Calls;
    throw Exception(Cp("Сбой обработчика"));
  }
};

} // namespace

class Form2WindowTest : public QObject {
  Q_OBJECT

private slots:
  void init() { Application()->ClearTerminated(); }
  void cleanup() { QVERIFY2(TopLevelNames().isEmpty(), qPrintable(TopLevelNames().join(", "))); }

  void toolkitTextsAreRussianUnderARussianLocale() {
    // The details button is the toolkit's, not the program's: its text comes
    // from the toolkit's translations (the test runs under ru_RU.UTF-8).
    QMessageBox box;
    box.setDetailedText(QStringLiteral("details"));
    QStringList texts;
    for (QAbstractButton* button : box.buttons())
      if (box.buttonRole(button) == QMessageBox::ActionRole) texts << button->text();
    QCOMPARE(texts, QStringList{U("Показать подробности...")});
  }

  void windowFollowsDescription() {
    TForm2 form(Unattached());
    QCOMPARE(form.windowTitle(), U("Восстановление заказов"));
    QCOMPARE(form.size(), QSize(482, 70));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(form.font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(form.font().pixelSize(), 11);

    QCOMPARE(form.Label1()->geometry(), QRect(0, 0, 482, 36));
    QCOMPARE(form.Label1()->font().pixelSize(), 19);
    QCOMPARE(form.Label1()->alignment(), Qt::AlignHCenter | Qt::AlignTop);
    QCOMPARE(form.Label1()->text(), QString());
    QCOMPARE(form.ProgressBar1()->geometry(), QRect(0, 36, 482, 34));
    QCOMPARE(form.ProgressBar1()->Min(), 0);
    QCOMPARE(form.ProgressBar1()->Max(), 100);
    QCOMPARE(form.ProgressBar1()->Position(), 0);
    QCOMPARE(form.ProgressBar1()->Step(), 1);
  }

  void componentsFollowDescription() {
    TForm2 form(Unattached());
    QCOMPARE(form.Name(), std::string("Form2"));
    QCOMPARE(form.ComponentCount(), 6);
    const char* order[] = {"DB", "Tr", "SQLCount", "Timer1", "SQLListZakaz", "SQLUpdateID"};
    for (int i = 0; i < 6; ++i) QCOMPARE(form.Components(i)->Name(), std::string(order[i]));
    QCOMPARE(form.DB()->FullName(), std::string("Form2.DB"));

    QCOMPARE(form.DB()->DBName(), std::string("/nonexistent/orderdates-window-test.fdb"));
    QCOMPARE(form.DB()->DBParams().Text(),
             std::string("user_name=SYSDBA\r\npassword=quillstem\r\nlc_ctype=WIN1251\r\n"));
    QCOMPARE(form.DB()->SQLDialect(), 3);
    QCOMPARE(form.DB()->Timeout(), 0);
    QCOMPARE(form.DB()->WaitForRestoreConnect(), 0);
    QCOMPARE(form.DB()->DefaultTransaction(), static_cast<TFbCustomTransaction*>(form.Tr()));
    QCOMPARE(form.DB()->DefaultUpdateTransaction(), static_cast<TFbCustomTransaction*>(form.Tr()));
    QCOMPARE(form.Tr()->DefaultDatabase(), static_cast<TFbCustomDatabase*>(form.DB()));
    QCOMPARE(form.Tr()->TimeoutAction(), TARollback);

    QCOMPARE(JoinedSql(form.SQLCount()),
             std::string("SELECT count(ID)\r\nFROM\r\n    TBL_ZAKAZ_TOVARS \r\nwhere zakaz_id>0\r\n"));
    QCOMPARE(JoinedSql(form.SQLListZakaz()),
             std::string("SELECT\r\n    ID,\r\n    ZAKAZ_ID\r\nFROM\r\n    "
                         "TBL_ZAKAZ_TOVARS \r\nWHERE ZAKAZ_ID>0\r\nORDER BY ZAKAZ_ID\r\n"));
    QCOMPARE(JoinedSql(form.SQLUpdateID()), std::string("UPDATE TBL_ZAKAZ_TOVARS SET \r\n   "
                                                        "DATA_TIME_SEND=:DATA_TIME_SEND\r\nWHERE\r\n    ID=:ID\r\n"));
    for (TFbQuery* query : {form.SQLCount(), form.SQLListZakaz(), form.SQLUpdateID()}) {
      QCOMPARE(query->Database(), static_cast<TFbCustomDatabase*>(form.DB()));
      QCOMPARE(query->Transaction(), static_cast<TFbCustomTransaction*>(form.Tr()));
    }

    QCOMPARE(form.Timer1()->Interval(), 300);
    QVERIFY(form.Timer1()->Enabled());
    // Counting from creation on, before the window is shown.
    QVERIFY(form.Timer1()->Counting());
    QVERIFY(!form.isVisible());
    // Creating the window attaches nothing.
    QVERIFY(!form.DB()->Connected());
    QVERIFY(!form.DB()->ClientLibrary());
    QVERIFY(!form.Tr()->Active());
  }

  void destroyedInReverseOrder() {
    TDestructionLog log;
    auto form = std::make_unique<TForm2>(Unattached());
    form->DB()->AddListener(&log);
    QObject::connect(form->ProgressBar1(), &QObject::destroyed, [&] { log.Order << QStringLiteral("ProgressBar1"); });
    QObject::connect(form->Label1(), &QObject::destroyed, [&] { log.Order << QStringLiteral("Label1"); });
    form.reset();
    // The statements (created after the connection) are gone before it; the
    // controls (created first) go last.
    QCOMPARE(log.StatementsLeft, 0);
    QCOMPARE(log.Order, (QStringList{"DB", "ProgressBar1", "Label1"}));
  }

  void showsCentred() {
    TForm2 form(Unattached());
    form.Timer1()->SetEnabled(false);
    form.ShowCentred();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QPoint screenCentre = form.screen()->geometry().center();
    const QPoint formCentre = form.frameGeometry().center();
    QVERIFY2((screenCentre - formCentre).manhattanLength() <= 2,
             qPrintable(QString("frame centre %1,%2").arg(formCentre.x()).arg(formCentre.y())));
  }

  void setStatusText_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("opening") << U("Открытие БД") << U("Открытие БД");
    QTest::newRow("counting after opening") << U("Открытие БД") << U("Подсчет количества");
    QTest::newRow("order") << U("Подсчет количества") << U("Заказ 7 - 05.03.2024 14:07:09");
    QTest::newRow("markup stays text") << U("x") << U("<b>7</b>");
  }
  void setStatusText() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    TForm2 form(Unattached());
    form.SetStatusText(Utf8ToCp1251(first.toStdString()));
    form.ShowState();
    QCOMPARE(form.Label1()->text(), first);
    form.SetStatusText(Utf8ToCp1251(second.toStdString()));
    form.ShowState();
    QCOMPARE(form.Label1()->text(), second);
    QCOMPARE(form.Label1()->textFormat(), Qt::PlainText);
    QCOMPARE(form.StatusText(), Utf8ToCp1251(second.toStdString()));
  }

  void barMaximum_data() {
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QString>("error");
    QTest::newRow("zero") << 0 << QString();
    QTest::newRow("five") << 5 << QString();
    QTest::newRow("large") << 20000 << QString();
    QTest::newRow("below minimum") << -1 << QStringLiteral("TProgressBar property out of range");
  }
  void barMaximum() {
    QFETCH(int, maximum);
    QFETCH(QString, error);
    TForm2 form(Unattached());
    QString raised;
    try {
      form.SetBarMaximum(maximum);
    } catch (const EInvalidOperation& e) {
      raised = QString::fromStdString(e.Message());
    }
    QCOMPARE(raised, error);
    QCOMPARE(form.ProgressBar1()->Min(), 0);
    QCOMPARE(form.ProgressBar1()->Max(), error.isEmpty() ? maximum : 100);
    QCOMPARE(form.ProgressBar1()->Position(), 0);
  }

  void stepBar_data() {
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("position");
    QTest::newRow("within range") << 5 << 3 << 3;
    QTest::newRow("to the maximum") << 5 << 5 << 5;
    QTest::newRow("past the maximum starts again") << 3 << 4 << 0;
    QTest::newRow("and goes on from the minimum") << 3 << 6 << 2;
    QTest::newRow("empty range") << 0 << 2 << 0;
  }
  void stepBar() {
    QFETCH(int, maximum);
    QFETCH(int, steps);
    QFETCH(int, position);
    TForm2 form(Unattached());
    form.SetBarMaximum(maximum);
    for (int i = 0; i < steps; ++i) form.StepBar();
    form.ShowState();
    QCOMPARE(form.ProgressBar1()->Position(), position);
    QCOMPARE(form.ProgressBar1()->value(), maximum == 0 ? 0 : position);
  }

  void stopTimer() {
    TForm2 form(Unattached());
    QVERIFY(form.Timer1()->Counting());
    form.StopTimer();
    QVERIFY(!form.Timer1()->Enabled());
    QVERIFY(!form.Timer1()->Counting());
  }

  void processPendingEventsDoesNotWait() {
    bool delivered = false;
    QTimer::singleShot(0, qApp, [&] { delivered = true; });
    TForm2 form(Unattached());
    form.StopTimer();
    form.ProcessPendingEvents();
    QVERIFY(delivered);
    QVERIFY(!Application()->Terminated());
  }

  void processPendingEventsServesDescriptors() {
    // Passes ask the system about descriptors at most once a frame; a
    // descriptor that becomes readable is still served within a few passes.
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    QSocketNotifier notifier(fds[0], QSocketNotifier::Read);
    bool served = false;
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
      char byte;
      served = ::read(fds[0], &byte, 1) == 1;
    });
    TForm2 form(Unattached());
    form.StopTimer();
    form.ProcessPendingEvents();
    QCOMPARE(::write(fds[1], "x", 1), 1);
    QElapsedTimer elapsed;
    elapsed.start();
    while (!served && elapsed.elapsed() < 5000) form.ProcessPendingEvents();
    ::close(fds[0]);
    ::close(fds[1]);
    QVERIFY(served);
  }

  void exceptionDisplayText_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "Connection lost"
                            << "Connection lost.";
    QTest::newRow("digit") << "error 10061"
                           << "error 10061.";
    QTest::newRow("cyrillic letter") << U("Ошибка") << U("Ошибка.");
    QTest::newRow("colon") << "code:"
                           << "code:.";
    QTest::newRow("slash") << "path/"
                           << "path/.";
    QTest::newRow("full stop") << "Done."
                               << "Done.";
    QTest::newRow("exclamation mark") << "Stop!"
                                      << "Stop!";
    QTest::newRow("closing parenthesis") << "failed (3)"
                                         << "failed (3)";
    QTest::newRow("blank") << "trailing "
                           << "trailing ";
    QTest::newRow("comma") << "a,"
                           << "a,";
    QTest::newRow("hyphen") << "a-"
                            << "a-";
    QTest::newRow("empty") << ""
                           << "";
  }
  void exceptionDisplayText() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    const std::string text = ExceptionDisplayText(Utf8ToCp1251(message.toStdString()));
    QCOMPARE(QString::fromStdString(Cp1251ToUtf8(text)), shown);
  }

  void exceptionDisplay_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("program error") << 0 << U("Нет связи с сервером") << U("Нет связи с сервером.");
    QTest::newRow("ends in full stop") << 0 << U("Готово.") << U("Готово.");
    QTest::newRow("silent abort") << 1 << QString() << QString();
    QTest::newRow("library error") << 2 << QString() << QStringLiteral("std::exception.");
  }
  void exceptionDisplay() {
    QFETCH(int, kind);
    QFETCH(QString, message);
    QFETCH(QString, shown);
    TBoxWatcher boxes(TAnswer::Enter);
    TForm2 form(Unattached());
    form.StopTimer();
    form.ShowCentred();
    bool raised = false;
    TTimer failing;
    failing.SetInterval(1);
    failing.SetOnTimer([&](TTimer& self) {
      self.SetEnabled(false);
      raised = true;
      if (kind == 0) throw Exception(Utf8ToCp1251(message.toStdString()));
      if (kind == 1) throw EAbort();
      throw std::exception();
    });
    QTRY_VERIFY(raised);
    // The display is synchronous: by now any box has come and gone.
    QCOMPARE(boxes.Open(), 0);
    if (shown.isEmpty()) {
      QCOMPARE(boxes.Count(), 0);
      return;
    }
    QCOMPARE(boxes.Count(), 1);
    const TShownBox& box = boxes.Boxes().front();
    QCOMPARE(box.Title, U("Восстановление БД"));
    QCOMPARE(box.Icon, QMessageBox::Critical);
    QCOMPARE(box.Text, shown);
    QCOMPARE(box.Buttons, QStringList{QStringLiteral("OK")});
    QVERIFY(box.ApplicationModal);
    // The program goes on.
    QVERIFY(form.isVisible());
    QVERIFY(!Application()->Terminated());
  }

  void failureInAnyHandlerIsShown() {
    TBoxWatcher boxes(TAnswer::Enter);
    TFailingHandler handler;
    QCoreApplication::postEvent(&handler, new QEvent(QEvent::User));
    QTRY_COMPARE(handler.Calls, 1);
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.Open(), 0);
    QCOMPARE(boxes.Boxes().front().Text, U("Сбой обработчика."));
    QCOMPARE(boxes.Boxes().front().Title, U("Восстановление БД"));
    // The loop goes on dispatching.
    bool later = false;
    QTimer::singleShot(0, qApp, [&] { later = true; });
    QTRY_VERIFY(later);
  }

  void message_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("Enter") << static_cast<int>(TAnswer::Enter);
    QTest::newRow("Escape") << static_cast<int>(TAnswer::Escape);
    QTest::newRow("OK button") << static_cast<int>(TAnswer::Click);
  }
  void message() {
    QFETCH(int, answer);
    TBoxWatcher boxes(static_cast<TAnswer>(answer));
    ShowMessage(Cp("Даты восстановлены"));
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.Open(), 0);
    const TShownBox& box = boxes.Boxes().front();
    QCOMPARE(box.Title, U("Восстановление БД"));
    QCOMPARE(box.Text, U("Даты восстановлены"));
    QCOMPARE(box.Icon, QMessageBox::NoIcon);
    QCOMPARE(box.Buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(box.DefaultButton, QStringLiteral("OK"));
    QVERIFY(box.EscapeIsDefault);
    QVERIFY(box.ApplicationModal);
  }

  // The counts under a final message and the report file's path are far
  // wider than the toolkit's own wrapping width (half the screen): the box
  // grows to fit them instead of breaking them.
  void messageLinesDoNotWrap() {
    const std::string path = "/home/storekeeper/.local/state/orderdates/orderdates-2026-12-09T02-30-00.log";
    const std::string text = Cp("Даты восстановлены\n\nОбновлено 0 из 5120 строк товаров\n"
                                "Подробности по каждому заказу записаны в файл:\n") +
                             path;
    int labelWidth = 0;
    int widest = 0;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer::singleShot(0, qApp, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      icon = box->icon();
      for (QLabel* label : box->findChildren<QLabel*>()) {
        if (label->text() != box->text()) continue;
        labelWidth = label->width();
        for (const QString& line : box->text().split('\n'))
          widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
      }
      QTest::keyClick(box, Qt::Key_Return);
    });
    ShowMessage(text, TMessageIcon::Warning);
    QCOMPARE(icon, QMessageBox::Warning);
    QVERIFY(widest > 0);
    QVERIFY2(labelWidth >= widest, qPrintable(QString("%1 < %2").arg(labelWidth).arg(widest)));
  }

  void messageClosesOnceTheEndIsRequested_data() {
    QTest::addColumn<bool>("before");
    QTest::newRow("requested before it is shown") << true;
    QTest::newRow("requested while it is shown") << false;
  }
  void messageClosesOnceTheEndIsRequested() {
    QFETCH(bool, before);
    TBoxWatcher boxes(before ? TAnswer::None : TAnswer::Terminate);
    if (before) Application()->Terminate();
    ShowMessage(Cp("Даты восстановлены"));
    QCOMPARE(boxes.Count(), 1);
    QCOMPARE(boxes.Open(), 0);
    QVERIFY(Application()->Terminated());
  }

  void closingAsksToEnd() {
    TForm2 form(Unattached());
    form.StopTimer();
    form.ShowCentred();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(!Application()->Terminated());
    form.close();
    QVERIFY(Application()->Terminated());
    // Not hidden: the window goes when the event loop has ended.
    QVERIFY(form.isVisible());
  }

  void programEndsWhenWindowCloses() {
    TForm2Description description = Unattached();
    description.TimerEnabled = false;
    QPointer<QWidget> shown;
    QTimer closer;
    closer.setInterval(1);
    QObject::connect(&closer, &QTimer::timeout, [&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<TForm2*>(widget); form != nullptr && form->isVisible()) {
          shown = form;
          form->close();
          closer.stop();
        }
      }
    });
    closer.start();
    // Nothing ran, so nothing was committed.
    QCOMPARE(RunProgram(*Application(), description), kExitNotCommitted);
    QVERIFY(Application()->Terminated());
    // The window was destroyed when the loop ended.
    QVERIFY(shown.isNull());
    QCOMPARE(Application()->Title(), Cp("Восстановление БД"));
  }

  void startupFailure() {
    TForm2Description description = Unattached();
    description.BarMax = -1; // refused while the window is built
    TBoxWatcher boxes(TAnswer::Enter);
    QCOMPARE(RunProgram(*Application(), description), 1);
    QCOMPARE(boxes.Count(), 1);
    const TShownBox& box = boxes.Boxes().front();
    QCOMPARE(box.Title, QStringLiteral("Application Error"));
    QCOMPARE(box.Icon, QMessageBox::Critical);
    QVERIFY(box.ApplicationModal);
    const QRegularExpression expected(
        "^Exception EInvalidOperation in module Form2WindowTest at [0-9A-F]{16}\\.\nTProgressBar property out of "
        "range\\.\n$");
    QVERIFY2(expected.match(box.Text).hasMatch(), qPrintable(box.Text));
  }

  void startupErrorText_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("tail");
    QTest::newRow("letter") << "Not enough timers available"
                            << "Not enough timers available.\n";
    QTest::newRow("full stop") << "Out of memory."
                               << "Out of memory.\n";
    QTest::newRow("exclamation mark") << "Stop!"
                                      << "Stop!.\n";
    QTest::newRow("empty") << ""
                           << "\n";
  }
  void startupErrorText() {
    QFETCH(QString, message);
    QFETCH(QString, tail);
    const std::string text =
        StartupErrorText("EOutOfResources", "orderdates", reinterpret_cast<const void*>(0x4a2b), message.toStdString());
    QCOMPARE(QString::fromStdString(text),
             "Exception EOutOfResources in module orderdates at 0000000000004A2B.\n" + tail);
  }

  void exceptionClassName() {
    QCOMPARE(ExceptionClassName(EInvalidOperation("x")), std::string("EInvalidOperation"));
    QCOMPARE(ExceptionClassName(std::runtime_error("x")), std::string("runtime_error"));
  }

  void localeChangeReloadsFormats() {
    TForm2 form(Unattached());
    form.StopTimer();
    LoadLocaleFormatsFrom("C");
    QVERIFY(LocaleFormats.ShortDatePattern != "dd.MM.yyyy");
    // The test runs under the Russian locale (see the test's environment).
    QEvent changed(QEvent::LocaleChange);
    QCoreApplication::sendEvent(&form, &changed);
    QCOMPARE(LocaleFormats.ShortDatePattern, std::string("dd.MM.yyyy"));
    QCOMPARE(LocaleFormats.DateDelimiter, '.');
  }
};

int main(int argc, char** argv) {
  od::TApplication app(argc, argv);
  app.SetTitle(od::ProgramTitle());
  Form2WindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "Form2WindowTest.moc"
