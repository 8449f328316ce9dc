#pragma once

#include <exception>
#include <string>

namespace od {

// What shows the restoration run to the user: the main window, a terminal,
// or a test's recorder. Texts are code page 1251. Every call comes from the
// thread that runs the walk.
class IRunView {
public:
  virtual ~IRunView() = default;

  // The status line. Set far more often than anything can show it: a view
  // records it and shows it at ShowState or when a frame is due.
  virtual void SetStatusText(const std::string& text) = 0;
  // The bar's range is 0..maximum; a maximum below 0 raises.
  virtual void SetBarMaximum(int maximum) = 0;
  // One goods line further; past the maximum the bar starts again.
  virtual void StepBar() = 0;
  // Shows the recorded state now.
  virtual void ShowState() = 0;
  // Shows the recorded state if a frame is due; cheap when none is.
  virtual void RepaintNow() = 0;
  // Serves whatever waits for the program (input, close requests) and
  // returns without waiting.
  virtual void ProcessPendingEvents() = 0;
  // The run has waited a frame or more for the order service and waits on.
  virtual void Waiting() { RepaintNow(); }

  // The run's last word: its final message, with the counts that tell what
  // it did when goods lines kept their value (empty otherwise), to be shown
  // under the text where the report does not say them already. Returns once
  // the user has taken note, or at once where nobody is asked.
  virtual void ShowFinalMessage(const std::string& text, const std::string& details) = 0;
  // A failure that ended the run before its commit, or after it. The silent
  // kind (EAbort) is not shown.
  virtual void ShowError(const std::exception& error) = 0;
  // The run is over: the program may end.
  virtual void EndProgram() = 0;
};

} // namespace od
