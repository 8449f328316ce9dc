#pragma once

#include "base/StopSignals.h"

namespace od {

// The program's exit statuses.
constexpr int kExitCommitted = 0;     // the run committed (a dry run: completed), every goods line dated
constexpr int kExitStartupFailed = 1; // start-up failed; the failure has been shown
constexpr int kExitBadOption = 2;     // bad option or value; nothing was opened
constexpr int kExitNotCommitted = 3;  // the program ended without the run's commit
constexpr int kExitPartly = 4;        // the run committed (a dry run: completed), goods lines kept their value

// 128 + the termination signal that ended the program, or `normal`.
inline int ExitStatus(int normal) {
  const int signal = ProcessStopSignal();
  return signal != 0 ? 128 + signal : normal;
}

// The status of a program whose run has ended. Once the run has committed,
// the data is what it is: a termination signal taken afterwards (while the
// final message is shown) does not turn it into 128 + N, which says that
// nothing was saved.
inline int RunExitStatus(bool committed, bool linesKept) {
  if (committed) return linesKept ? kExitPartly : kExitCommitted;
  return ExitStatus(kExitNotCommitted);
}

} // namespace od
