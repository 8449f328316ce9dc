#include "window/ProgressBar.h"

#include <algorithm>

namespace od {

namespace {

void RaiseOutOfRange() { throw EInvalidOperation(Format("%s property out of range", "TProgressBar")); }

} // namespace

TProgressBar::TProgressBar(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(false);
  Sync();
}

void TProgressBar::SetMax(int max) {
  if (max < min_) RaiseOutOfRange();
  max_ = max;
  position_ = std::clamp(position_, min_, max_);
  Sync();
}

void TProgressBar::SetMin(int min) {
  if (min > max_) RaiseOutOfRange();
  min_ = min;
  position_ = std::clamp(position_, min_, max_);
  Sync();
}

void TProgressBar::SetPosition(int position) {
  position_ = std::clamp(position, min_, max_);
  Sync();
}

void TProgressBar::StepIt() noexcept {
  // Computed wide: a huge step must not overflow into a wrong position.
  const long long next = static_cast<long long>(position_) + step_;
  position_ = next > max_ || next < min_ ? min_ : static_cast<int>(next);
}

void TProgressBar::ShowPosition() { Sync(); }

void TProgressBar::Sync() {
  // An empty range would turn the platform bar into a busy indicator; this
  // bar shows an empty track instead.
  if (max_ == min_) {
    setRange(0, 1);
    setValue(0);
    return;
  }
  setRange(min_, max_);
  setValue(position_);
}

} // namespace od
