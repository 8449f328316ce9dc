#pragma once

#include "base/Component.h"

#include <QTimer>

#include <functional>

namespace od {

// A timer component owned by a window. It counts while it is enabled and has
// both an interval and a handler; a failure escaping the handler goes to the
// exception display and the timer keeps its state.
class TTimer : public TComponent {
public:
  explicit TTimer(TComponent* owner = nullptr);
  ~TTimer() override;

  int Interval() const noexcept { return interval_; }
  void SetInterval(int milliseconds);
  bool Enabled() const noexcept { return enabled_; }
  void SetEnabled(bool enabled);
  void SetOnTimer(std::function<void(TTimer&)> handler);

  // True while the platform timer is counting.
  bool Counting() const { return timer_.isActive(); }

private:
  void UpdateTimer();
  void Fire();

  QTimer timer_;
  int interval_ = 1000;
  bool enabled_ = true;
  std::function<void(TTimer&)> onTimer_;
};

} // namespace od
