#pragma once

#include "net/HttpGetPool.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

// Trying an order's request again when it failed for a reason that may pass
// (a service restarting, a limit on the client, a load balancer's reset),
// and never when the service meant its answer.
namespace od {

// Whether a request's result may pass if asked again. An answer with a date
// is used whatever its status, so the caller says whether its first line
// reads as one.
bool MayPass(const THttpGetResult& result, bool hasDate) noexcept;

// The wait a Retry-After value asks for: whole seconds or an HTTP date
// ("Sun, 06 Nov 1994 08:49:37 GMT"), counted from `now`, capped at ten
// minutes; nothing for a value that is neither.
std::optional<std::chrono::milliseconds> RetryAfterWait(const std::string& value,
                                                        std::chrono::system_clock::time_point now);

// What the retries of one run share: the budget, the pause a service asked
// for, the counts the report shows. Safe from every thread of the run.
class TRetries {
public:
  // The longest wait the service may ask for.
  static constexpr std::chrono::minutes kMaxRetryAfter{10};
  // The cap of the growing random wait.
  static constexpr std::chrono::seconds kMaxBackoff{60};

  struct TSources {
    // A number in [0, 1).
    std::function<double()> Random;
    std::function<std::chrono::system_clock::time_point()> Now;
    // Waits that long through the hook; false when a stop ended the wait.
    std::function<bool(std::chrono::milliseconds, const THttpWaitHook*)> Wait;
  };
  // The sources of a real run: a seeded engine, the system clock,
  // WaitWithHook.
  static TSources RealSources();

  // `retries` more tries at most per order (0: none, every request as
  // without retries). `readsAsDate` tells whether an answer's first line is
  // a date.
  TRetries(int retries, std::function<bool(const std::string&)> readsAsDate, TSources sources = RealSources());

  // One order's request with its retries, through `fetch`, waiting through
  // `options.Hook`. A stop during a wait ends it with the last answer.
  THttpPoolAnswer Get(const std::string& url, const THttpGetOptions& options, const THttpFetch& fetch);

  // Orders answered only on a retry.
  std::int64_t AnsweredOnRetry() const noexcept { return answeredOnRetry_.load(); }
  // Whether a retry was refused because the budget was spent.
  bool BudgetSpent() const noexcept { return budgetSpent_.load(); }

  // The budget: one retry per ten orders asked, plus ten.
  static std::int64_t Budget(std::int64_t ordersAsked) noexcept { return 10 + ordersAsked / 10; }

private:
  bool WantsAgain(const THttpPoolAnswer& answer) const;
  // The wait before the next try, or nothing when the budget is spent.
  std::optional<std::chrono::milliseconds> NextWait(const THttpGetResult& result, int tries);
  // Waits out a pause a service asked for before a request starts.
  bool AwaitPause(const THttpWaitHook* hook);

  const int retries_;
  const std::function<bool(const std::string&)> readsAsDate_;
  const TSources sources_;
  std::mutex mutex_;
  std::int64_t asked_ = 0;
  std::int64_t retried_ = 0;
  std::chrono::system_clock::time_point pauseUntil_{};
  std::atomic<std::int64_t> answeredOnRetry_{0};
  std::atomic<bool> budgetSpent_{false};
};

// Counts the orders in a row that failed without any answer (refused,
// unreachable, reset before a status line, no address, a time-out; an
// order's retries count as one). An answer of any kind, even a 404, means
// the service is up and starts the count again.
class TSilentService {
public:
  // `limit` orders in a row give the service up; 0 never does.
  explicit TSilentService(int limit) : limit_(limit) {}
  // The order's final result; true when the service is to be given up on.
  bool Note(const THttpGetResult& result) noexcept;

private:
  const int limit_;
  int silent_ = 0;
};

} // namespace od
