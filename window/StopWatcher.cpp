#include "window/StopWatcher.h"

#include "base/Exception.h"
#include "base/StopSignals.h"
#include "db/Database.h"
#include "window/Application.h"

#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

namespace od {

namespace {

constexpr int kReassertIntervalMs = 200;

} // namespace

TStopWatcher::TStopWatcher(TApplication& app) : app_(app) {
  const int wake = InstallStopSignalHandlers();
  notifier_ = std::make_unique<QSocketNotifier>(wake, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { OnWake(); });
  connect(&reassert_, &QTimer::timeout, this, [this] {
    InstallStopSignalHandlers();
    // A box shown after the signal was first acted on closes too.
    if (ProcessStopRequested()) OnWake();
  });
  reassert_.start(kReassertIntervalMs);
  // A signal taken before the watcher existed is acted on at once.
  if (ProcessStopRequested())
    QMetaObject::invokeMethod(
        this, [this] { OnWake(); }, Qt::QueuedConnection);
}

TStopWatcher::~TStopWatcher() = default;

void TStopWatcher::Watch(TFbDatabase& db) {
  auto previous = db.AfterConnect();
  db.AfterConnect() = [previous](TFbCustomDatabase& connected) {
    InstallStopSignalHandlers();
    if (previous) previous(connected);
  };
}

void TStopWatcher::OnWake() {
  DrainStopWake();
  if (!ProcessStopRequested()) return;
  app_.Terminate();
  // A box waiting for the user would hold the program: it goes as if
  // dismissed, and the code that showed it carries on to its end.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && dialog->isVisible()) dialog->reject();
  }
}

void EndRunIfStopRequested() {
  if (!ProcessStopRequested()) return;
  if (TApplication* app = Application()) app->Terminate();
  throw EAbort();
}

} // namespace od
