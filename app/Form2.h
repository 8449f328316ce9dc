#pragma once

#include "app/Form2Description.h"
#include "app/RunReport.h"
#include "base/Component.h"

#include <QWidget>

#include <chrono>
#include <string>

class QLabel;

namespace od {

class TFbDatabase;
class TFbTransaction;
class TFbQuery;
class TProgressBar;
class TStringList;
class TTimer;

// The program's only window: a status line, a progress bar, and the data
// components the restoration run works with. It owns all of them and
// destroys them in the reverse order of their creation.
class TForm2 : public QWidget, public TComponent {
  Q_OBJECT

public:
  // Builds the window and its components from the description. The timer
  // starts counting here; nothing attaches to the database yet.
  explicit TForm2(const TForm2Description& description, QWidget* parent = nullptr);
  ~TForm2() override;

  // The restoration run, called once by Timer1.
  void Timer1Timer(TTimer& sender);

  // Shows the window centred on its screen. Right after, while the start
  // timer runs, a database that is a file of this machine is opened: the
  // run's Open then finds it attached.
  void ShowCentred();

  // --- user-interface operations of the run ----------------------------
  // The run changes the status text and the bar once per goods line, far
  // more often than any screen shows a frame: the setters only record the
  // state, and the window shows it when a frame is due.
  // Code page 1251.
  void SetStatusText(const std::string& text);
  // The text last set, shown or not yet.
  std::string StatusText() const;
  // Shows the recorded state if a display frame is due: paints what changed
  // and nothing else, at most once a frame, without dispatching events.
  void RepaintNow();
  // Shows the recorded state at once, frame due or not.
  void ShowState();
  // Dispatches every pending event and returns without waiting.
  void ProcessPendingEvents();
  // Raises "TProgressBar property out of range" below the minimum.
  void SetBarMaximum(int maximum);
  // Advances the bar by one step; shown at the next frame.
  void StepBar();
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

  // Where the restoration run stands. Committed also after a dry run's
  // rollback: the run completed.
  enum class TRunState { Waiting, Running, Committed, Stopped };
  TRunState RunState() const noexcept { return runState_; }
  // What the run did with the goods lines so far.
  TRunReport& Report() noexcept { return report_; }

protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  TFbQuery* CreateQuery(const char* name, const std::vector<std::string>& sql);
  // Steps 10.3-10.5 for the current goods line; any failure is the caller's
  // to discard.
  void RestoreGoodsLine(std::string& previousOrder, std::string& dateText, TStringList& responseLines);
  void OpenDatabaseAhead();

  // About 60 frames a second.
  static constexpr std::chrono::milliseconds kFrameInterval{16};

  const TForm2Description description_;
  std::string statusText_;
  bool statusShown_ = true;
  std::chrono::steady_clock::time_point nextFrame_{};
  TRunReport report_;
  TRunState runState_ = TRunState::Waiting;
  QLabel* label1_ = nullptr;
  TProgressBar* progressBar1_ = nullptr;
  TFbDatabase* db_ = nullptr;
  TFbTransaction* tr_ = nullptr;
  TFbQuery* sqlCount_ = nullptr;
  TTimer* timer1_ = nullptr;
  TFbQuery* sqlListZakaz_ = nullptr;
  TFbQuery* sqlUpdateID_ = nullptr;
};

} // namespace od
