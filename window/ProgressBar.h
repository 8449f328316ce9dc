#pragma once

#include "base/Exception.h"

#include <QProgressBar>

namespace od {

// A refused operation on a control.
class EInvalidOperation : public Exception {
public:
  using Exception::Exception;
};

// A progress bar with a range, a position and a step. Stepping past the
// maximum starts the bar again from its minimum.
class TProgressBar : public QProgressBar {
  Q_OBJECT

public:
  explicit TProgressBar(QWidget* parent = nullptr);

  int Min() const noexcept { return min_; }
  int Max() const noexcept { return max_; }
  int Position() const noexcept { return position_; }
  int Step() const noexcept { return step_; }

  // Raises EInvalidOperation "TProgressBar property out of range" for a
  // maximum below the minimum.
  void SetMax(int max);
  // Raises the same for a minimum above the maximum.
  void SetMin(int min);
  // Kept within the range.
  void SetPosition(int position);
  void SetStep(int step) noexcept { step_ = step; }
  // Advances the position by Step. The bar shows it at ShowPosition: a run
  // steps once per goods line, far more often than a screen can show.
  void StepIt() noexcept;
  // Shows the current position; paints only when the drawn bar changes.
  void ShowPosition();

private:
  void Sync();

  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
  int step_ = 10;
};

} // namespace od
