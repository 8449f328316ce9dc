#include "app/Form2.h"

#include "app/Application.h"
#include "app/Dialogs.h"
#include "app/ProgressBar.h"
#include "app/StopWatcher.h"
#include "app/Timer.h"
#include "base/Exception.h"
#include "base/StopSignals.h"
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "net/HttpClient.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/LocaleFormats.h"
#include "text/StringList.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QTimer>

namespace od {

namespace {

QString ToQt(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }

QFont FontOfHeight(const std::string& name, int pixelHeight) {
  QFont font(QString::fromStdString(name));
  font.setPixelSize(pixelHeight);
  font.setBold(false);
  font.setItalic(false);
  return font;
}

const char kOrderPath[] = "/server_scripts/get_zakaz_dt.php?zakaz_id=";

std::string MessageOf(const std::exception& e) {
  const auto* own = dynamic_cast<const Exception*>(&e);
  return own != nullptr ? own->Message() : std::string(e.what());
}

} // namespace

TForm2::TForm2(const TForm2Description& description, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      TComponent(nullptr), description_(description) {
  SetName("Form2");
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(ToQt(description_.Caption));
  setFont(FontOfHeight(description_.FontName, description_.FontHeight));
  setFixedSize(description_.ClientWidth, description_.ClientHeight);

  // In the order of creation; the destructor undoes it backwards.
  label1_ = new QLabel(this);
  label1_->setObjectName(QStringLiteral("Label1"));
  label1_->setFont(FontOfHeight(description_.FontName, description_.LabelFontHeight));
  label1_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  // Status texts carry order numbers and the service's answer: plain text,
  // never markup.
  label1_->setTextFormat(Qt::PlainText);
  label1_->setGeometry(0, 0, description_.ClientWidth, description_.ClientHeight - description_.BarHeight);

  progressBar1_ = new TProgressBar(this);
  progressBar1_->setObjectName(QStringLiteral("ProgressBar1"));
  progressBar1_->setGeometry(0, description_.ClientHeight - description_.BarHeight, description_.ClientWidth,
                             description_.BarHeight);
  progressBar1_->SetMin(description_.BarMin);
  progressBar1_->SetMax(description_.BarMax);
  progressBar1_->SetPosition(description_.BarPosition);
  progressBar1_->SetStep(description_.BarStep);

  db_ = new TFbDatabase(this);
  db_->SetName("DB");
  db_->SetDBName(description_.DBName);
  for (const std::string& line : description_.DBParams) db_->DBParams().Add(line);
  db_->SetSQLDialect(description_.SQLDialect);
  db_->SetTimeout(description_.Timeout);
  db_->SetWaitForRestoreConnect(description_.WaitForRestoreConnect);

  tr_ = new TFbTransaction(this);
  tr_->SetName("Tr");
  tr_->SetDefaultDatabase(db_);
  tr_->SetTimeoutAction(TARollback);
  // References to components created later are resolved once they exist.
  db_->SetDefaultTransaction(tr_);
  db_->SetDefaultUpdateTransaction(tr_);

  sqlCount_ = CreateQuery("SQLCount", description_.SQLCount);

  timer1_ = new TTimer(this);
  timer1_->SetName("Timer1");
  timer1_->SetEnabled(description_.TimerEnabled);
  timer1_->SetInterval(description_.TimerInterval);
  timer1_->SetOnTimer([this](TTimer& sender) {
    try {
      Timer1Timer(sender);
    } catch (const std::exception& e) {
      // Shown by the exception display; the report says what it cost.
      if (runState_ != TRunState::Committed) {
        runState_ = TRunState::Stopped;
        report_.Stopped(MessageOf(e));
      }
      throw;
    } catch (...) {
      if (runState_ != TRunState::Committed) {
        runState_ = TRunState::Stopped;
        report_.Stopped("Unknown exception");
      }
      throw;
    }
  });

  sqlListZakaz_ = CreateQuery("SQLListZakaz", description_.SQLListZakaz);
  sqlUpdateID_ = CreateQuery("SQLUpdateID", description_.SQLUpdateID);
}

TForm2::~TForm2() {
  // Newest first: the statements, the timer, the transaction, the
  // connection, then the two controls.
  DestroyComponents();
  sqlUpdateID_ = sqlListZakaz_ = sqlCount_ = nullptr;
  timer1_ = nullptr;
  tr_ = nullptr;
  db_ = nullptr;
  delete progressBar1_;
  progressBar1_ = nullptr;
  delete label1_;
  label1_ = nullptr;
}

TFbQuery* TForm2::CreateQuery(const char* name, const std::vector<std::string>& sql) {
  auto* query = new TFbQuery(this);
  query->SetName(name);
  query->SetDatabase(db_);
  query->SetTransaction(tr_);
  // The text arrives line by line; it is judged once it is complete.
  query->SetLoading(true);
  for (const std::string& line : sql) query->SQL().Add(line);
  query->SetLoading(false);
  return query;
}

void TForm2::ShowCentred() {
  // The frame is known once the platform window exists; centring the frame
  // before that would leave the window off by the frame's width.
  winId();
  auto centre = [this] {
    if (QScreen* screen = this->screen()) {
      QRect frame = frameGeometry();
      frame.moveCenter(screen->geometry().center());
      if (frame.topLeft() != frameGeometry().topLeft()) move(frame.topLeft());
    }
  };
  centre();
  show();
  centre();
  // Fonts load at their first use. Measuring the first status text now,
  // while the start timer runs, keeps that out of the run.
  label1_->fontMetrics().horizontalAdvance(QStringLiteral(u"Открытие БД"));
  QTimer::singleShot(0, this, [this] { OpenDatabaseAhead(); });
}

void TForm2::OpenDatabaseAhead() {
  // Nothing to win once the run has begun or the program is ending.
  if (runState_ != TRunState::Waiting || ProcessStopRequested()) return;
  if (TApplication* app = Application(); app != nullptr && app->Terminated()) return;
  // Only a file of this machine: through a server the attach takes as long
  // as the network does, and the window would not answer meanwhile.
  const std::string& name = db_->DBName();
  if (name.empty() || name.front() != '/') return;
  try {
    db_->Open();
  } catch (const std::exception&) {
    // The run's Open attaches again and shows what went wrong, with the
    // window saying what it was doing.
  }
}

void TForm2::SetStatusText(const std::string& text) {
  // Compared in code page 1251: every goods line of an order sets the same
  // text, and converting it each time would cost more than the comparison.
  if (text == statusText_) return;
  statusText_ = text;
  statusShown_ = false;
}

std::string TForm2::StatusText() const { return statusText_; }

void TForm2::RepaintNow() {
  const auto now = std::chrono::steady_clock::now();
  if (now < nextFrame_) return;
  nextFrame_ = now + kFrameInterval;
  ShowState();
}

void TForm2::ShowState() {
  // The label asks for its paint; a bar whose drawing changes paints at
  // once, and with it whatever else waits to be painted. Neither is painted
  // twice for one frame.
  if (!statusShown_) {
    label1_->setText(ToQt(statusText_));
    statusShown_ = true;
  }
  progressBar1_->ShowPosition();
}

void TForm2::ProcessPendingEvents() {
  if (TApplication* app = Application()) app->ProcessMessages();
  // A termination signal ends the run here, before anything is committed.
  EndRunIfStopRequested();
}

void TForm2::SetBarMaximum(int maximum) { progressBar1_->SetMax(maximum); }

void TForm2::StepBar() { progressBar1_->StepIt(); }

void TForm2::StopTimer() { timer1_->SetEnabled(false); }

void TForm2::closeEvent(QCloseEvent* event) {
  // Closing asks the program to end; the window stays as it is until the
  // event loop has finished, also while the run is still going.
  event->ignore();
  if (TApplication* app = Application()) app->Terminate();
}

void TForm2::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LocaleChange) {
    // The user's regional settings changed: date-time text from now on is
    // read in their new form.
    try {
      LoadLocaleFormats();
    } catch (const std::exception& e) {
      if (TApplication* app = Application()) app->HandleException(e);
    }
  }
  QWidget::changeEvent(event);
}

void TForm2::Timer1Timer(TTimer& /*sender*/) {
  std::string previousOrder;
  std::string dateText;
  // Stopped before any event is processed, so the run never starts twice.
  StopTimer();
  runState_ = TRunState::Running;
  TStringList responseLines;
  // However the run ends, the window is left showing where it got to: the
  // last frame may have been skipped.
  struct ShowStateAtEnd {
    TForm2& form;
    ~ShowStateAtEnd() { form.ShowState(); }
  } showStateAtEnd{*this};

  SetStatusText(Cp("Открытие БД"));
  ShowState();
  ProcessPendingEvents();
  db_->Open();
  tr_->StartTransaction();

  SetStatusText(Cp("Подсчет количества"));
  ShowState();
  ProcessPendingEvents();
  sqlCount_->ExecQuery();
  SetBarMaximum(sqlCount_->ColumnAt(0).AsInteger());

  sqlListZakaz_->ExecQuery();
  while (!sqlListZakaz_->AtEnd()) {
    StepBar();
    RepaintNow();
    ProcessPendingEvents();
    report_.BeginGoodsLine();
    try {
      RestoreGoodsLine(previousOrder, dateText, responseLines);
    } catch (const std::exception& e) {
      // A goods line that cannot be restored keeps its old date; the run
      // goes on with the next one.
      report_.Failed(MessageOf(e));
    } catch (...) {
      report_.Failed("Unknown exception");
    }
    report_.EndGoodsLine();
    sqlListZakaz_->FetchNext();
  }

  // A signal taken during the last goods line leaves the run uncommitted too.
  EndRunIfStopRequested();
  // A dry run did every UPDATE inside the transaction; rolling back leaves
  // the database as it was.
  if (description_.DryRun)
    tr_->Rollback();
  else
    tr_->Commit();
  runState_ = TRunState::Committed;
  report_.Finish(description_.DryRun);
  db_->Close();
  ShowState();
  const std::string details = report_.KeptLines() > 0 ? report_.Details(description_.DryRun) : std::string();
  ShowMessage(description_.DryRun ? Cp("Проверка завершена, изменения не сохранены") : Cp("Даты восстановлены"),
              details);
  if (TApplication* app = Application()) app->Terminate();
}

void TForm2::RestoreGoodsLine(std::string& previousOrder, std::string& dateText, TStringList& responseLines) {
  sqlUpdateID_->Close();
  const std::string order = sqlListZakaz_->ColumnByName("ZAKAZ_ID").AsString();
  report_.Order(order);
  if (order != previousOrder) {
    const std::string url = "http://" + description_.ServiceHost + kOrderPath + order;
    // Emptied first: a failed request must not leave an earlier order's
    // answer behind for this order's goods lines.
    responseLines.Clear();
    std::string failure;
    if (HttpGetLines(url, responseLines, failure))
      report_.Answered(responseLines.Count() > 0 ? responseLines[0] : std::string());
    else
      report_.RequestFailed(failure);
    previousOrder = order;
    dateText = responseLines[0];
  }
  if (responseLines.Count() > 0) {
    sqlUpdateID_->ParameterByName("ID").SetAsInteger(sqlListZakaz_->ColumnByName("ID").AsInteger());
    const TDateTime sent = ParseDateTimeText(dateText);
    // A time alone parses onto day 0: there is no send date to write, and
    // the goods line keeps its value.
    if (!HasDatePart(sent)) return;
    report_.DateAccepted();
    sqlUpdateID_->ParameterByName("DATA_TIME_SEND").SetAsDateTime(sent);
    static const std::string orderWord = Cp("Заказ ");
    SetStatusText(orderWord + previousOrder + " - " + dateText);
    sqlUpdateID_->ExecQuery();
    report_.Updated();
  }
}

} // namespace od
