#include "window/Application.h"

#include "base/Exception.h"
#include "base/StopSignals.h"
#include "text/Cp1251.h"
#include "text/SystemText.h"
#include "window/Dialogs.h"

#include <QAbstractEventDispatcher>
#include <QLibraryInfo>
#include <QLocale>
#include <QWidget>

#include <glib.h>

#include <chrono>
#include <utility>

namespace od {

namespace {

// A pass of ProcessMessages is under way.
bool inMessagePass = false;
std::chrono::steady_clock::time_point nextDescriptorPoll;
GPollFunc systemPoll = nullptr;

// The poll of the main loop's descriptors. A pass that must not wait asks
// the system about them at most once per display frame: the run makes such a
// pass for every goods line, thousands a second, and a system call each time
// costs about as much as everything else the pass does. Input, paint requests
// and timers do not need it: input reaches the loop through memory, from the
// thread that reads the display connection, and the others live in the loop
// itself. Descriptors (a signal's wake-up pipe, say) wait a frame at most;
// once a termination signal has come, every pass asks, so that the run ends
// with the wake-up handled, as it always did.
gint PollDescriptors(GPollFD* fds, guint count, gint timeout) {
  if (inMessagePass && timeout == 0 && !ProcessStopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextDescriptorPoll) {
      for (guint i = 0; i < count; ++i) fds[i].revents = 0;
      return 0;
    }
    nextDescriptorPoll = now + std::chrono::milliseconds(16);
  }
  return systemPoll(fds, count, timeout);
}

} // namespace

TApplication* TApplication::instance_ = nullptr;

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  instance_ = this;
  // The program ends only when asked to (closing the main window asks), never
  // because a window went away.
  setQuitOnLastWindowClosed(false);
  // The toolkit's own texts (a message box's buttons) speak the user's
  // language, as the program's do; without its translations they stay
  // English.
  if (translator_.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    installTranslator(&translator_);
  // Qt's main loop runs on GLib's default main context, unless the
  // environment chose Qt's own loop.
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (systemPoll == nullptr && dispatcher != nullptr && dispatcher->inherits("QEventDispatcherGlib")) {
    systemPoll = g_main_context_get_poll_func(g_main_context_default());
    g_main_context_set_poll_func(g_main_context_default(), PollDescriptors);
  }
}

TApplication::~TApplication() {
  if (instance_ == this) instance_ = nullptr;
}

void TApplication::SetTitle(std::string title) {
  title_ = std::move(title);
  // Only the application name: the display name would be added to every
  // window caption.
  setApplicationName(QString::fromStdString(Cp1251ToUtf8(title_)));
}

void TApplication::Terminate() {
  if (terminated_) return;
  terminated_ = true;
  emit TerminateRequested();
  // A loop blocked waiting for events must see the flag now.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}

void TApplication::ClearTerminated() noexcept { terminated_ = false; }

void TApplication::ProcessMessages() {
  struct Pass {
    bool outer = std::exchange(inMessagePass, true);
    ~Pass() { inMessagePass = outer; }
  } pass;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::Run() {
  while (!terminated_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TApplication::HandleException(const std::exception& e) {
  // A window in the middle of a drag must let go before the box takes over.
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  if (dynamic_cast<const EAbort*>(&e) != nullptr) return;
  ShowExceptionBox(ExceptionDisplayText(MessageOf(e)));
}

void TApplication::HandleUnknownException() {
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  ShowExceptionBox(ExceptionDisplayText(kUnknownException));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  // Handlers of this program report failures by exceptions; none may leave
  // the event dispatch, where it would end the program.
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    HandleException(e);
  } catch (...) {
    HandleUnknownException();
  }
  return false;
}

} // namespace od
