#pragma once

#include "base/Component.h"
#include "run/RestorationRun.h"
#include "run/RunView.h"
#include "window/Form2Description.h"

#include <QWidget>

#include <chrono>
#include <memory>
#include <string>

class QLabel;

namespace od {

class TFbDatabase;
class TFbTransaction;
class TFbQuery;
class TProgressBar;
class TTimer;

// The program's only window: a status line, a progress bar, and the data
// components the restoration run works with. It owns all of them and
// destroys them in the reverse order of their creation, and it is the view
// the run shows itself in.
class TForm2 : public QWidget, public TComponent, public IRunView {
  Q_OBJECT

public:
  // Builds the window and its components from the description. The timer
  // starts counting here; nothing attaches to the database yet.
  explicit TForm2(const TForm2Description& description, QWidget* parent = nullptr);
  ~TForm2() override;

  // The restoration run, called once by Timer1.
  void Timer1Timer(TTimer& sender);

  // Shows the window centred on its screen.
  void ShowCentred();

  // --- user-interface operations of the run ----------------------------
  // The run changes the status text and the bar once per goods line, far
  // more often than any screen shows a frame: the setters only record the
  // state, and the window shows it when a frame is due.
  // Code page 1251.
  void SetStatusText(const std::string& text) override;
  // The text last set, shown or not yet.
  std::string StatusText() const;
  // Shows the recorded state if a display frame is due: paints what changed
  // and nothing else, at most once a frame, without dispatching events.
  void RepaintNow() override;
  // Shows the recorded state at once, frame due or not.
  void ShowState() override;
  // Dispatches every pending event and returns without waiting.
  void ProcessPendingEvents() override;
  // Raises "TProgressBar property out of range" below the minimum.
  void SetBarMaximum(int maximum) override;
  // Advances the bar by one step; shown at the next frame.
  void StepBar() override;
  // While the run waits for the service: what is due is painted now, the
  // label included, as no event pass will paint it before the answer.
  void Waiting() override;
  void ShowFinalMessage(const std::string& text, const std::string& details) override;
  void ShowError(const std::exception& error) override;
  void EndProgram() override;
  void StopTimer();

  // --- components, as the description names them -----------------------
  QLabel* Label1() const noexcept { return label1_; }
  TProgressBar* ProgressBar1() const noexcept { return progressBar1_; }
  TFbDatabase* DB() const noexcept { return db_; }
  TFbTransaction* Tr() const noexcept { return tr_; }
  TFbQuery* SQLCount() const noexcept { return sqlCount_; }
  TTimer* Timer1() const noexcept { return timer1_; }
  TFbQuery* SQLListZakaz() const noexcept { return sqlListZakaz_; }
  TFbQuery* SQLUpdateID() const noexcept { return sqlUpdateID_; }

  const TForm2Description& Description() const noexcept { return description_; }

  using TRunState = od::TRunState;
  TRunState RunState() const noexcept { return run_->State(); }
  TRestorationRun& Run() noexcept { return *run_; }

protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  // About 60 frames a second.
  static constexpr std::chrono::milliseconds kFrameInterval{16};

  const TForm2Description description_;
  std::string statusText_;
  bool statusShown_ = true;
  std::chrono::steady_clock::time_point nextFrame_{};
  QLabel* label1_ = nullptr;
  TProgressBar* progressBar1_ = nullptr;
  TFbDatabase* db_ = nullptr;
  TFbTransaction* tr_ = nullptr;
  TFbQuery* sqlCount_ = nullptr;
  TTimer* timer1_ = nullptr;
  TFbQuery* sqlListZakaz_ = nullptr;
  TFbQuery* sqlUpdateID_ = nullptr;
  std::unique_ptr<TRestorationRun> run_;
};

} // namespace od
