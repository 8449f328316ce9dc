#include "run/Retry.h"

#include "net/SocketErrors.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

namespace od {

namespace {

using std::chrono::milliseconds;

// An IMF-fixdate, the form HTTP writes dates in: "Sun, 06 Nov 1994 08:49:37
// GMT". Read by hand: the month names are English whatever the locale.
std::optional<std::chrono::system_clock::time_point> HttpDate(const std::string& value) {
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char weekday[4] = {};
  char month[4] = {};
  std::tm tm{};
  char zone[4] = {};
  if (std::sscanf(value.c_str(), "%3s, %d %3s %d %d:%d:%d %3s", weekday, &tm.tm_mday, month, &tm.tm_year, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, zone) != 8 ||
      std::strcmp(zone, "GMT") != 0)
    return std::nullopt;
  tm.tm_mon = -1;
  for (std::size_t i = 0; i < kMonths.size(); ++i)
    if (std::strcmp(month, kMonths[i]) == 0) tm.tm_mon = static_cast<int>(i);
  if (tm.tm_mon < 0 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_year < 1970) return std::nullopt;
  tm.tm_year -= 1900;
  return std::chrono::system_clock::from_time_t(::timegm(&tm));
}

THttpPoolAnswer StoppedAnswer(int tries) {
  THttpPoolAnswer answer;
  answer.Result = FailedHttpGet(WsaError::Interrupted, SocketErrorText(WsaError::Interrupted));
  answer.Tries = tries;
  return answer;
}

} // namespace

bool MayPass(const THttpGetResult& result, bool hasDate) noexcept {
  if (result.Ok) {
    switch (result.ResultCode) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504: return !hasDate;
    default: return false;
    }
  }
  // Reasons not listed here (a refused certificate, a name that does not
  // exist, a stop, ones added later) are never tried again.
  switch (result.Failure) {
  case THttpFailure::Refused:
  case THttpFailure::Reset:
  case THttpFailure::TimedOut:
  case THttpFailure::CutShort:
  case THttpFailure::NameNotNow: return true;
  default: return false;
  }
}

std::optional<milliseconds> RetryAfterWait(const std::string& value, std::chrono::system_clock::time_point now) {
  if (value.empty()) return std::nullopt;
  milliseconds wait{0};
  if (value.find_first_not_of("0123456789") == std::string::npos) {
    // More digits than any wait worth having are the cap.
    wait = value.size() > 6 ? TRetries::kMaxRetryAfter : std::chrono::seconds(std::stol(value));
  } else if (const auto date = HttpDate(value)) {
    wait = *date > now ? std::chrono::duration_cast<milliseconds>(*date - now) : milliseconds(0);
  } else {
    return std::nullopt;
  }
  return std::min<milliseconds>(wait, TRetries::kMaxRetryAfter);
}

TRetries::TSources TRetries::RealSources() {
  return {[] {
            thread_local std::mt19937_64 engine{std::random_device{}()};
            return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
          },
          [] { return std::chrono::system_clock::now(); }, WaitWithHook};
}

TRetries::TRetries(int retries, std::function<bool(const std::string&)> readsAsDate, TSources sources)
    : retries_(retries), readsAsDate_(std::move(readsAsDate)), sources_(std::move(sources)) {}

bool TRetries::WantsAgain(const THttpPoolAnswer& answer) const {
  const bool hasDate = answer.Lines.Count() > 0 && readsAsDate_(answer.Lines[0]);
  return MayPass(answer.Result, hasDate);
}

std::optional<milliseconds> TRetries::NextWait(const THttpGetResult& result, int tries) {
  const auto now = sources_.Now();
  std::lock_guard<std::mutex> lock(mutex_);
  if (retried_ >= Budget(asked_)) {
    budgetSpent_ = true;
    return std::nullopt;
  }
  ++retried_;
  if (const auto asked = RetryAfterWait(result.RetryAfter, now)) {
    // A service that says when to come back is limiting or restarting: the
    // whole run holds back until then, not only this order.
    if (result.ResultCode == 429 || result.ResultCode == 503) pauseUntil_ = std::max(pauseUntil_, now + *asked);
    return *asked;
  }
  // Full jitter: a random wait up to 1 s, 2 s, 4 s ... 60 s, so that the
  // requests in flight do not come back all at once.
  const milliseconds cap = tries > 6 ? milliseconds(kMaxBackoff)
                                     : std::min<milliseconds>(kMaxBackoff, std::chrono::seconds(1LL << (tries - 1)));
  return milliseconds(static_cast<std::int64_t>(sources_.Random() * static_cast<double>(cap.count())));
}

bool TRetries::AwaitPause(const THttpWaitHook* hook) {
  std::chrono::system_clock::time_point until;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    until = pauseUntil_;
  }
  const auto now = sources_.Now();
  if (until <= now) return true;
  return sources_.Wait(std::chrono::ceil<milliseconds>(until - now), hook);
}

THttpPoolAnswer TRetries::Get(const std::string& url, const THttpGetOptions& options, const THttpFetch& fetch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++asked_;
  }
  THttpPoolAnswer answer;
  for (int tries = 1;; ++tries) {
    // A new order's request waits out a pause the service asked for; the
    // retries have waited their own time already.
    if (tries == 1 && !AwaitPause(options.Hook)) return StoppedAnswer(0);
    answer = fetch(url, options);
    answer.Tries = tries;
    if (tries > retries_ || !WantsAgain(answer)) break;
    const auto wait = NextWait(answer.Result, tries);
    if (!wait) break;
    if (!sources_.Wait(*wait, options.Hook)) return StoppedAnswer(tries);
  }
  if (answer.Tries > 1 && answer.Result.Ok && !WantsAgain(answer)) ++answeredOnRetry_;
  return answer;
}

bool TSilentService::Note(const THttpGetResult& result) noexcept {
  if (result.Ok || !result.StatusLine.empty()) {
    silent_ = 0;
    return false;
  }
  switch (result.Failure) {
  case THttpFailure::Refused:
  case THttpFailure::Unreachable:
  case THttpFailure::Reset:
  case THttpFailure::NameNotFound:
  case THttpFailure::NameNotNow:
  case THttpFailure::TimedOut: ++silent_; break;
  default: return false;
  }
  return limit_ > 0 && silent_ >= limit_;
}

} // namespace od
