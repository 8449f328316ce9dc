#include "net/BlockSocket.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "base/StopSignals.h"

// The socket's waits: every one of them goes through a single poll with the
// deadline, the wait hook and termination signals taken into account, so
// that connects, sends and receives end the same way.
namespace od {

void TBlockSocket::SetDeadline(std::int32_t ms) {
  deadline_ = ms < 0 ? std::chrono::steady_clock::time_point::max()
                     : std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool TBlockSocket::DeadlinePassed() const noexcept {
  return deadline_ != std::chrono::steady_clock::time_point::max() && std::chrono::steady_clock::now() >= deadline_;
}

int TBlockSocket::WaitWithinDeadline(int timeout) const noexcept {
  if (deadline_ == std::chrono::steady_clock::time_point::max()) return timeout;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
  const int allowed = left > 0 ? static_cast<int>(std::min<std::int64_t>(left, INT32_MAX)) : 0;
  return timeout < 0 ? allowed : std::min(timeout, allowed);
}

int TBlockSocket::HookSlice() const noexcept {
  if (WaitHook == nullptr || !WaitHook->OnWait) return 0;
  return static_cast<int>(std::clamp<std::int64_t>(WaitHook->Interval.count(), 1, INT32_MAX));
}

bool TBlockSocket::WaitGoesOn() {
  if (WaitHook->OnWait()) return true;
  lastError_ = WsaError::Interrupted;
  lastErrorText_ = GetErrorDescEx();
  return false;
}

bool TBlockSocket::PollOnce(int timeout, short events, short* revents) {
  const int slice = HookSlice();
  if (slice == 0 || (timeout >= 0 && timeout <= slice)) return PollSystem(timeout, events, revents);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  int left = timeout;
  while (true) {
    const bool ready = PollSystem(timeout < 0 ? slice : std::min(slice, left), events, revents);
    if (ready || lastError_ != 0) return ready;
    if (timeout >= 0) {
      left = static_cast<int>(
          std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      if (left <= 0) return false;
    }
    if (!WaitGoesOn()) return false;
  }
}

bool TBlockSocket::PollSystem(int timeout, short events, short* revents) {
  ClearLastError();
  if (socket_ == -1) {
    lastError_ = ErrnoToWsaError(ENOTSOCK);
    return false;
  }
  // The hook's wake descriptor is polled beside the socket: once it fires,
  // the hook is asked at once, however busy the socket is.
  const int wakeFd = HookSlice() > 0 ? WaitHook->WakeFd : -1;
  pollfd fds[2] = {{socket_, events, 0}, {wakeFd, POLLIN, 0}};
  pollfd& p = fds[0];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
  int remaining = timeout;
  int result;
  while (true) {
    result = ::poll(fds, wakeFd != -1 ? 2 : 1, remaining);
    if (result > 0 && fds[1].revents != 0) {
      // Asked before the socket's news, which may keep coming for good; a
      // hook that lets the wait go on is not woken again in this wait.
      if (!WaitGoesOn()) return false;
      fds[1].fd = -1;
      if (p.revents == 0) {
        result = -1;
        errno = EINTR;
      }
    }
    if (result != -1 || errno != EINTR) break;
    // A termination signal ends the wait, and the request with it.
    if (ProcessStopRequested()) break;
    // Resume with what is left of the wait, not with the whole time-out.
    if (timeout >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      remaining = left > 0 ? static_cast<int>(left) : 0;
    }
  }
  CheckSocketResult(result);
  if (result > 0 && (p.revents & POLLNVAL)) lastError_ = ErrnoToWsaError(EBADF);
  if (revents != nullptr) *revents = result > 0 ? p.revents : 0;
  return result > 0 && lastError_ == 0;
}

bool TBlockSocket::WaitFor(int timeout, short events) {
  timeout = WaitWithinDeadline(timeout);
  bool ready;
  if (HeartbeatRate != 0 && timeout != -1) {
    const int rate = HeartbeatRate;
    ready = PollOnce(timeout % rate, events);
    for (int i = 0; !ready && lastError_ == 0 && i < timeout / rate + 1; ++i) {
      if (OnHeartbeat) OnHeartbeat(*this);
      if (StopFlag) {
        StopFlag = false;
        break;
      }
      ready = PollOnce(rate, events);
    }
  } else {
    ready = PollOnce(timeout, events);
    // One more look only after a wait that ran out: a stop request or a
    // failure stands, where this look would clear it and leave the caller
    // to report a time-out.
    if (!ready && lastError_ == 0) ready = PollOnce(0, events);
  }
  ReportError();
  return ready;
}

bool TBlockSocket::WaitReadable(int timeout) {
  const bool ready = WaitFor(timeout, POLLIN);
  if (ready) DoStatus(HR_CanRead, "");
  return ready;
}

bool TBlockSocket::WaitWritable(int timeout) {
  const bool ready = WaitFor(timeout, POLLOUT);
  if (ready) DoStatus(HR_CanWrite, "");
  return ready;
}

} // namespace od
