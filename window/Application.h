#pragma once

#include <QApplication>
#include <QTranslator>

#include <exception>
#include <string>

namespace od {

// The program object: its title, the end-requested flag, the event loop that
// runs until that flag is set, and the exception display for failures that
// escape an event handler.
class TApplication : public QApplication {
  Q_OBJECT

public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // The one instance, or nullptr before it exists.
  static TApplication* Instance() noexcept { return instance_; }

  // Program title, code page 1251.
  const std::string& Title() const noexcept { return title_; }
  void SetTitle(std::string title);

  // Asks the program to end: sets the end-requested flag. It closes no window
  // and does not stop the caller; the event loop stops once control returns
  // to it, and a modal message shown meanwhile closes by itself.
  void Terminate();
  bool Terminated() const noexcept { return terminated_; }
  // Clears the flag for a host that runs the program more than once in one
  // process (the tests).
  void ClearTerminated() noexcept;

  // Takes and dispatches every pending event and returns without waiting.
  // A request to end met here only sets the flag.
  void ProcessMessages();

  // Dispatches events, waiting when there is none, until Terminate().
  void Run();

  // Shows an exception that escaped an event handler; the silent kind is
  // not shown.
  void HandleException(const std::exception& e);
  void HandleUnknownException();

  bool notify(QObject* receiver, QEvent* event) override;

signals:
  // Emitted once when the end-requested flag becomes set.
  void TerminateRequested();

private:
  static TApplication* instance_;
  QTranslator translator_;
  std::string title_;
  bool terminated_ = false;
};

// Shorthand for the one instance, as the rest of the program reads it.
inline TApplication* Application() noexcept { return TApplication::Instance(); }

} // namespace od
