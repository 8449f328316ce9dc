#pragma once

#include "base/StopSignals.h"

namespace od {

// The program's exit statuses.
constexpr int kExitCommitted = 0;     // the run committed (a dry run: completed), every goods line dated
constexpr int kExitStartupFailed = 1; // start-up failed; the failure has been shown
constexpr int kExitBadOption = 2;     // bad option or value; nothing was opened
constexpr int kExitNotCommitted = 3;  // the program ended without the run's commit
constexpr int kExitPartly = 4;        // the run committed (a dry run: completed), goods lines kept their value
constexpr int kExitNoneRestored = 5;  // the run committed, goods lines were listed and none got its date

// 128 + the termination signal that ended the program, or `normal`.
inline int ExitStatus(int normal) {
  const int signal = ProcessStopSignal();
  return signal != 0 ? 128 + signal : normal;
}

// The status of a program whose run has ended. Once the run has committed,
// the data is what it is: a termination signal taken afterwards (while the
// final message is shown) does not turn it into 128 + N, which says that
// nothing was saved.
// A run that committed without restoring a single goods line (the service
// down, a wrong address) has a status of its own: a job that checks for 4
// would take it for the usual few failed orders.
inline int RunExitStatus(bool committed, bool linesKept, bool noneRestored = false) {
  if (committed) return noneRestored ? kExitNoneRestored : linesKept ? kExitPartly : kExitCommitted;
  return ExitStatus(kExitNotCommitted);
}

} // namespace od
