#include "window/Form2.h"

#include "text/Cp1251.h"
#include "text/LocaleFormats.h"
#include "window/Application.h"
#include "window/Dialogs.h"
#include "window/ProgressBar.h"
#include "window/StopWatcher.h"
#include "window/Timer.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>

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

  db_ = CreateRunDatabase(*this, description_);
  tr_ = CreateRunTransaction(*this, *db_);
  sqlCount_ = CreateRunQuery(*this, "SQLCount", description_.SQLCount, *db_, *tr_);

  timer1_ = new TTimer(this);
  timer1_->SetName("Timer1");
  timer1_->SetEnabled(description_.TimerEnabled);
  timer1_->SetInterval(description_.TimerInterval);
  timer1_->SetOnTimer([this](TTimer& sender) { Timer1Timer(sender); });

  sqlListZakaz_ = CreateRunQuery(*this, "SQLListZakaz", description_.SQLListZakaz, *db_, *tr_);
  sqlUpdateID_ = CreateRunQuery(*this, "SQLUpdateID", description_.SQLUpdateID, *db_, *tr_);
  run_ = std::make_unique<TRestorationRun>(description_,
                                           TRunComponents{db_, tr_, sqlCount_, sqlListZakaz_, sqlUpdateID_}, *this);
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

void TForm2::Waiting() {
  const bool labelDue = !statusShown_;
  ShowState();
  // The label's new text only asked for a paint; nothing dispatches that
  // request while the service keeps the run waiting.
  if (labelDue) label1_->repaint();
}

void TForm2::ShowFinalMessage(const std::string& text, const std::string& details) {
  // The counts stand under the text, read without a click; a run that had
  // goods lines and updated none of them is a warning, not a success.
  const TRunReport& report = run_->Report();
  const bool noneUpdated = report.GoodsLines() > 0 && report.UpdatedLines() == 0;
  ShowMessage(details.empty() ? text : text + "\n\n" + details,
              noneUpdated ? TMessageIcon::Warning : TMessageIcon::None);
}

void TForm2::ShowError(const std::exception& error) {
  if (TApplication* app = Application()) app->HandleException(error);
}

void TForm2::EndProgram() {
  if (TApplication* app = Application()) app->Terminate();
}

void TForm2::Timer1Timer(TTimer& /*sender*/) {
  // Stopped before any event is processed, so the run never starts twice.
  StopTimer();
  run_->Execute();
}

} // namespace od
