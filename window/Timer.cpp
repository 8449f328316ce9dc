#include "window/Timer.h"

#include "window/Application.h"

namespace od {

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
  // Exact timing is not needed, but the first tick must come no earlier than
  // asked, and coarse timers may fire up to 5 % early.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Fire(); });
}

TTimer::~TTimer() { timer_.stop(); }

void TTimer::SetInterval(int milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  UpdateTimer();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::SetOnTimer(std::function<void(TTimer&)> handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::UpdateTimer() {
  timer_.stop();
  if (enabled_ && interval_ > 0 && onTimer_) timer_.start(interval_);
}

void TTimer::Fire() {
  if (!onTimer_) return;
  // The timer's event delivery is where a failure of the handler ends up:
  // it is shown, and the program goes on.
  try {
    onTimer_(*this);
  } catch (const std::exception& e) {
    if (TApplication* app = Application()) app->HandleException(e);
  } catch (...) {
    if (TApplication* app = Application()) app->HandleUnknownException();
  }
}

} // namespace od
