#pragma once

// The termination signals (SIGTERM, SIGINT, SIGHUP) end the program at its
// own points, never inside a handler: the handler only records the signal
// and wakes the main thread. Code that waits (the event loop, a socket wait)
// asks ProcessStopRequested() and ends what it is doing.
#include <csignal>

namespace od {

// Whether a termination signal has arrived. Safe from any thread.
bool ProcessStopRequested() noexcept;
// The first termination signal that arrived, or 0.
int ProcessStopSignal() noexcept;

// A second termination signal, after the first has been taken, ends the
// process at once: whatever the program is still doing (a long rollback,
// the engine's detach) is not worth making the user wait or reach for
// SIGKILL. It ends with 128 + that signal, or with `status` once it has been
// set: a run that has committed sets the status it ends with, so that a
// second signal never says that nothing was saved.
void SetSecondStopExitStatus(int status) noexcept;

// Installs the program's handlers for the termination signals, or installs
// them again where a library has put its own in their place since (the
// database client does on its first attach). Called from the main thread:
// a signal taken by another thread is passed on to it, so that a wait of
// the main thread ends. Returns the read end of a non-blocking pipe that
// becomes readable when a signal arrives.
int InstallStopSignalHandlers();

// Reads every wake-up byte the handlers have written so far, so that the
// pipe stops being readable. Safe to call before the handlers exist. Called
// before the database is detached after a stop: the embedded engine's
// detach was seen to spin for good while a wake-up byte lay unread, and to
// end at once when it had been read. A later signal cannot leave a byte
// there: it ends the process (SetSecondStopExitStatus).
void DrainStopWake() noexcept;

// Holds the termination signals back in the calling thread while it lives
// (threads it starts meanwhile inherit that); one that arrives meanwhile is
// taken when it ends.
class TStopSignalsHeld {
public:
  TStopSignalsHeld() noexcept;
  ~TStopSignalsHeld();
  TStopSignalsHeld(const TStopSignalsHeld&) = delete;
  TStopSignalsHeld& operator=(const TStopSignalsHeld&) = delete;

private:
  sigset_t previous_;
};

// Whether the program's handler is the one installed for every termination
// signal.
bool StopSignalHandlersInstalled() noexcept;

} // namespace od
