#include "app/Application.h"

#include "app/Dialogs.h"
#include "base/Exception.h"
#include "text/Cp1251.h"
#include "text/SystemText.h"

#include <QAbstractEventDispatcher>
#include <QWidget>

namespace od {

TApplication* TApplication::instance_ = nullptr;

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  instance_ = this;
  // The program ends only when asked to (closing the main window asks), never
  // because a window went away.
  setQuitOnLastWindowClosed(false);
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

void TApplication::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TApplication::Run() {
  while (!terminated_) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TApplication::HandleException(const std::exception& e) {
  // A window in the middle of a drag must let go before the box takes over.
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  if (dynamic_cast<const EAbort*>(&e) != nullptr) return;
  const auto* own = dynamic_cast<const Exception*>(&e);
  // Another library's exception words its text in the locale's code set.
  ShowExceptionBox(ExceptionDisplayText(own != nullptr ? own->Message() : SystemTextToCp1251(e.what())));
}

void TApplication::HandleUnknownException() {
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  ShowExceptionBox(ExceptionDisplayText("Unknown exception"));
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
