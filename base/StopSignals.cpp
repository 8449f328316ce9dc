#include "base/StopSignals.h"

#include "base/Exception.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace od {

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> gStopSignal{0};
std::atomic<int> gWakeWrite{-1};
int gWakeRead = -1;
std::atomic<pid_t> gMainThread{0};
// What a second termination signal ends the process with; -1: 128 + it.
std::atomic<int> gSecondStopStatus{-1};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "read and written inside a signal handler");

pid_t CurrentThread() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Async-signal-safe only: atomics, write(), tgkill and _exit.
void OnStopSignal(int number) {
  const int savedErrno = errno;
  int none = 0;
  if (!gStopSignal.compare_exchange_strong(none, number)) {
    // A second signal: the user insists. The program is winding down (a
    // rollback, a detach) or has not got round to it yet; it ends now.
    // Nothing is lost that a clean end would have kept: the engine rolls
    // back an unfinished transaction by itself, and a committed run has
    // said so already.
    const int status = gSecondStopStatus.load();
    ::_exit(status >= 0 ? status : 128 + number);
  }
  const int wake = gWakeWrite.load();
  if (wake >= 0) {
    const char byte = 1;
    // A full pipe already wakes the reader: a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(wake, &byte, 1);
  }
  const pid_t main = gMainThread.load();
  if (main != 0 && CurrentThread() != main) ::syscall(SYS_tgkill, ::getpid(), main, number);
  errno = savedErrno;
}

void MakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    throw EOSError(Format("Cannot create the signal pipe (error %d)", errno), errno);
  gWakeRead = fds[0];
  gWakeWrite.store(fds[1]);
}

} // namespace

void SetSecondStopExitStatus(int status) noexcept { gSecondStopStatus.store(status); }

bool ProcessStopRequested() noexcept { return gStopSignal.load() != 0; }

int ProcessStopSignal() noexcept { return gStopSignal.load(); }

void DrainStopWake() noexcept {
  if (gWakeRead < 0) return;
  char bytes[64];
  while (::read(gWakeRead, bytes, sizeof bytes) > 0) {
  }
}

TStopSignalsHeld::TStopSignalsHeld() noexcept {
  sigset_t stop;
  sigemptyset(&stop);
  for (const int number : kStopSignals) sigaddset(&stop, number);
  pthread_sigmask(SIG_BLOCK, &stop, &previous_);
}

TStopSignalsHeld::~TStopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool StopSignalHandlersInstalled() noexcept {
  for (const int number : kStopSignals) {
    struct sigaction current {};
    if (::sigaction(number, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
        current.sa_handler != &OnStopSignal)
      return false;
  }
  return true;
}

int InstallStopSignalHandlers() {
  if (gWakeRead < 0) MakePipe();
  gMainThread.store(CurrentThread());
  if (StopSignalHandlersInstalled()) return gWakeRead;
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : kStopSignals) sigaddset(&action.sa_mask, number);
  // Library code in the middle of a call goes on undisturbed; waits that
  // are never restarted (poll, the event loop's) end with EINTR.
  action.sa_flags = SA_RESTART;
  for (const int number : kStopSignals) {
    if (::sigaction(number, &action, nullptr) != 0)
      throw EOSError(Format("Cannot install the handler of signal %d (error %d)", number, errno), errno);
  }
  return gWakeRead;
}

} // namespace od
