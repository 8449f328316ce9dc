#include "net/WaitHook.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "base/StopSignals.h"

namespace od {

bool WaitWithHook(std::chrono::milliseconds time, const THttpWaitHook* hook) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + time;
  const bool asking = hook != nullptr && static_cast<bool>(hook->OnWait);
  bool wakeWatched = asking && hook->WakeFd != -1;
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return true;
    const auto slice = asking ? std::min(left, std::max(hook->Interval, std::chrono::milliseconds(1))) : left;
    pollfd wake{wakeWatched ? hook->WakeFd : -1, POLLIN, 0};
    const int result = ::poll(&wake, 1, static_cast<int>(slice.count()));
    if (result == -1 && errno == EINTR && !asking && ProcessStopRequested()) return false;
    if (!asking) continue;
    // Asked once the wake descriptor says so, then every slice; a wake that
    // the hook does not follow is not watched again in this wait.
    if (!hook->OnWait()) return false;
    if (result > 0) wakeWatched = false;
  }
}

} // namespace od
