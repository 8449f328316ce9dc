#include "net/HostResolver.h"

#include <condition_variable>
#include <system_error>
#include <thread>

#include "net/BlockSocket.h"
#include "net/SocketErrors.h"

namespace od {

// Shared by the lookup's thread and whoever waits for it: the thread may
// outlive both the waiters and the resolver.
struct THostResolver::TLookupState {
  std::mutex Mutex;
  std::condition_variable Done;
  bool Finished = false;
  int Code = 0;
  TVarSin Address{};
};

int THostResolver::SystemLookup(TVarSin& address, const std::string& host, const std::string& port) {
  TBlockSocket socket;
  socket.ResolveAddress(address, host, port);
  return socket.LastErrorCode();
}

THostResolver::THostResolver(TLookup lookup, TClock clock) : lookup_(std::move(lookup)), clock_(std::move(clock)) {}

std::shared_ptr<THostResolver::TLookupState> THostResolver::Current(const std::string& key, const std::string& host,
                                                                    const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = clock_();
  auto found = entries_.find(key);
  if (found != entries_.end()) {
    bool failed = false;
    {
      std::lock_guard<std::mutex> done(found->second.Lookup->Mutex);
      failed = found->second.Lookup->Finished && found->second.Lookup->Code != 0;
    }
    // A lookup under way is shared; a failed one or one kept long enough is
    // made again.
    if (!failed && now - found->second.Since < kKeep) return found->second.Lookup;
  }
  auto state = std::make_shared<TLookupState>();
  std::thread([state, lookup = lookup_, host, port] {
    TVarSin address{};
    const int code = lookup(address, host, port);
    std::lock_guard<std::mutex> lock(state->Mutex);
    state->Code = code;
    state->Address = address;
    state->Finished = true;
    state->Done.notify_all();
  }).detach();
  entries_[key] = TEntry{state, now};
  return state;
}

int THostResolver::Resolve(TVarSin& address, const std::string& host, const std::string& port, int timeoutMs,
                           const THttpWaitHook* hook) {
  std::shared_ptr<TLookupState> state;
  try {
    state = Current(host + "\n" + port, host, port);
  } catch (const std::system_error&) {
    // No thread to spare: the lookup on this one, unbounded as before.
    return lookup_(address, host, port);
  }
  using Clock = std::chrono::steady_clock;
  const bool bounded = timeoutMs >= 0;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
  const bool asking = hook != nullptr && static_cast<bool>(hook->OnWait);
  const auto slice = asking ? std::max(hook->Interval, std::chrono::milliseconds(1)) : std::chrono::milliseconds(100);
  std::unique_lock<std::mutex> lock(state->Mutex);
  while (!state->Finished) {
    const Clock::time_point next = bounded ? std::min(end, Clock::now() + slice) : Clock::now() + slice;
    if (state->Done.wait_until(lock, next, [&] { return state->Finished; })) break;
    if (bounded && Clock::now() >= end) return WsaError::TimedOut;
    lock.unlock();
    const bool goOn = !asking || hook->OnWait();
    lock.lock();
    if (!goOn) return WsaError::Interrupted;
  }
  address = state->Address;
  return state->Code;
}

void THostResolver::Forget(const std::string& host, const std::string& port) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(host + "\n" + port);
}

} // namespace od
