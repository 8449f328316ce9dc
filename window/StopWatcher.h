#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace od {

class TApplication;
class TFbDatabase;

// Ends the running program when a termination signal arrives, whatever it
// is doing: the event loop is asked to end, a message box waiting for the
// user closes, and the restoration run stops at its next event processing
// (EndRunIfStopRequested). Lives for the whole run of the program.
class TStopWatcher : public QObject {
public:
  explicit TStopWatcher(TApplication& app);
  ~TStopWatcher() override;

  // The client library puts its own handlers in place on its first attach;
  // ours go back in right after every attach of `db`.
  void Watch(TFbDatabase& db);

private:
  void OnWake();

  TApplication& app_;
  std::unique_ptr<QSocketNotifier> notifier_;
  // Puts the handlers back should a library replace them where no hook
  // reaches (an attach that fails, for one).
  QTimer reassert_;
};

// Raises the silent exception when a termination signal has arrived, so
// that the run ends without committing anything; called where the run
// processes events.
void EndRunIfStopRequested();

} // namespace od
