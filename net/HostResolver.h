#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "net/AddressText.h"
#include "net/WaitHook.h"

// The service's address for a whole run: looked up once and again only when
// a connect to it failed or it has been kept a minute, not once a request.
// A lookup runs on a thread of its own, so that a resolver that does not
// answer costs no more than the wait allows and a stop ends the wait at
// once; the lookup itself finishes (or not) in the background.
namespace od {

class THostResolver {
public:
  // Fills `address` for host and port; 0 or the socket's code of the
  // failure (11001 no such host, 11002 not now, ...).
  using TLookup = std::function<int(TVarSin& address, const std::string& host, const std::string& port)>;
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  // How long an address is kept.
  static constexpr std::chrono::minutes kKeep{1};

  // The system's lookup, as a socket does it.
  static int SystemLookup(TVarSin& address, const std::string& host, const std::string& port);

  explicit THostResolver(TLookup lookup = SystemLookup, TClock clock = std::chrono::steady_clock::now);
  THostResolver(const THostResolver&) = delete;
  THostResolver& operator=(const THostResolver&) = delete;

  // The address of host and port: the one kept, or a lookup that ends
  // within `timeoutMs` (-1: no bound) with 10060 and, when the hook says not
  // to go on, with 10004. Safe from several threads at once: they share one
  // lookup.
  int Resolve(TVarSin& address, const std::string& host, const std::string& port, int timeoutMs,
              const THttpWaitHook* hook);
  // A connect to host and port failed: the next Resolve looks it up again.
  void Forget(const std::string& host, const std::string& port);

private:
  struct TLookupState;
  struct TEntry {
    std::shared_ptr<TLookupState> Lookup; // the lookup under way or done
    std::chrono::steady_clock::time_point Since;
  };
  std::shared_ptr<TLookupState> Current(const std::string& key, const std::string& host, const std::string& port);

  const TLookup lookup_;
  const TClock clock_;
  std::mutex mutex_;
  std::map<std::string, TEntry> entries_;
};

} // namespace od
