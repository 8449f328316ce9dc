#pragma once

#include "run/RunSettings.h"
#include "run/RunView.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace od {

// Where a run shown in a terminal stands, for its progress line.
struct TProgress {
  std::int64_t Done = 0;
  // -1 until the goods lines have been counted.
  std::int64_t Total = -1;
  // UTF-8 or the terminal's code set, made safe to print.
  std::string Status;
  // Since the first goods line; zero before it.
  double Seconds = 0;
};

// The progress line for a terminal `width` columns wide: the bar, the
// percentage, goods lines done of the total, the status text, the rate and
// the time left. It is never longer than width - 1 columns (a full line
// would wrap on some terminals): a narrow terminal gets a shorter status,
// then no rate, no counts, no bar, in that order.
std::string ProgressLine(const TProgress& progress, int width);

// Shows the run in a terminal: the report lines on standard error as the
// window's run writes them, the final message's text on standard output,
// an error on standard error. When standard error is a terminal, a progress
// line there redraws itself in place, at most ten times a second, and is
// cleared before each report line.
class TTerminalView : public IRunView {
public:
  explicit TTerminalView(bool drawProgress);

  void SetStatusText(const std::string& text) override;
  void SetBarMaximum(int maximum) override;
  void StepBar() override;
  void ShowState() override;
  void RepaintNow() override;
  void ProcessPendingEvents() override {}
  void ShowFinalMessage(const std::string& text, const std::string& details) override;
  void ShowError(const std::exception& error) override;
  // The run is over: the progress line goes and is not drawn again.
  void EndProgram() override;

  // The report's sink: one line, UTF-8, without its line break.
  void WriteReportLine(const std::string& line);

private:
  void Draw();
  void ClearLine();

  const bool drawProgress_;
  std::string lastReportLine_; // UTF-8
  bool lineShown_ = false;
  bool ended_ = false;
  std::string status_; // code page 1251
  int maximum_ = 100;
  bool counted_ = false;
  int position_ = 0;
  std::int64_t done_ = 0;
  std::chrono::steady_clock::time_point firstStep_{};
  std::chrono::steady_clock::time_point nextDraw_{};
};

class TReportFile;

// The whole program without a window and without a display: the same run,
// shown in the terminal, its report in `reportFile` too. Returns the exit
// status.
int RunWithoutWindow(const TRunSettings& settings, TReportFile& reportFile);

} // namespace od
