#pragma once

#include "base/StopSignals.h"

namespace od {

// The program's exit statuses.
constexpr int kExitCommitted = 0;     // the run committed (a dry run: completed)
constexpr int kExitStartupFailed = 1; // start-up failed; the failure has been shown
constexpr int kExitBadOption = 2;     // bad option or value; nothing was opened
constexpr int kExitNotCommitted = 3;  // the program ended without the run's commit

// 128 + the termination signal that ended the program, or `normal`.
inline int ExitStatus(int normal) {
  const int signal = ProcessStopSignal();
  return signal != 0 ? 128 + signal : normal;
}

} // namespace od
