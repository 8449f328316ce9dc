#include "net/HttpGet.h"

#include <algorithm>
#include <string_view>

#include "base/Ascii.h"
#include "net/HttpClient.h"
#include "net/HttpRedirect.h"
#include "net/HttpText.h"

#include "net/SocketErrors.h"
#include <chrono>

namespace od {

THttpFailure HttpFailureOf(int errorCode) noexcept {
  switch (errorCode) {
  case WsaError::Interrupted: return THttpFailure::Stopped;
  case WsaError::TimedOut: return THttpFailure::TimedOut;
  case WsaError::ConnectionRefused: return THttpFailure::Refused;
  case WsaError::ConnectionReset:
  case WsaError::SecureCutShort:
  case 10052: return THttpFailure::Reset;
  case WsaError::ConnectionAborted: return THttpFailure::CutShort;
  case 10050:
  case 10051:
  case 10064:
  case 10065: return THttpFailure::Unreachable;
  case WsaError::HostNotFound:
  case WsaError::NoData: return THttpFailure::NameNotFound;
  case WsaError::TryAgain: return THttpFailure::NameNotNow;
  case WsaError::NoBufferSpace: return THttpFailure::TooLarge;
  case WsaError::SecureFailed: return THttpFailure::Secure;
  case WsaError::CertificateRefused: return THttpFailure::Certificate;
  case WsaError::TunnelRefused: return THttpFailure::Tunnel;
  case WsaError::RedirectRefused: return THttpFailure::Redirect;
  default: return THttpFailure::Other;
  }
}

namespace {

std::string LocationOf(const TStringList& headers) {
  constexpr std::string_view kName = "location:";
  for (const std::string& line : headers)
    if (line.size() > kName.size() && EqualsIgnoreCaseAscii(std::string_view(line).substr(0, kName.size()), kName))
      return std::string(TrimView(std::string_view(line).substr(kName.size())));
  return {};
}

} // namespace

THttpGetResult FailedHttpGet(int errorCode, std::string error) {
  THttpGetResult result;
  result.ErrorCode = errorCode;
  result.Error = std::move(error);
  result.Failure = HttpFailureOf(errorCode);
  return result;
}

namespace {

// The Retry-After header of an answer, trimmed; empty when none came.
std::string RetryAfterOf(const TStringList& headers) {
  for (const std::string& header : headers)
    if (httptext::StartsWith(UpperAscii(header), "RETRY-AFTER:")) return Trim(header.substr(12));
  return std::string();
}

// What is left of the request's time-out after the hops so far; -1 for no
// bound, 0 when nothing is left.
std::int32_t RequestLeft(std::int32_t request, std::chrono::steady_clock::time_point start) {
  if (request < 0) return -1;
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  return spent >= request ? 0 : static_cast<std::int32_t>(request - spent);
}

// One exchange with `client`; its body stays in the client's Document.
THttpGetResult ExchangeOnce(THttpClient& client, const std::string& url, const THttpGetOptions& options,
                            std::int32_t requestLeft, bool withCredentials) {
  client.MaxBodySize = kHttpGetLinesMaxBody;
  THttpTimeouts timeouts = options.Timeouts;
  timeouts.Request = requestLeft;
  client.SetTimeouts(timeouts);
  client.Sock->WaitHook = options.Hook;
  client.Sock->Resolver = options.Resolver;
  if (const THttpProxy proxy = ProxyFor(options.Proxy, SplitUrl(url)); !proxy.Host.empty()) {
    client.ProxyHost = proxy.Host;
    client.ProxyPort = proxy.Port;
    client.ProxyUser = proxy.User;
    client.ProxyPass = proxy.Pass;
  }
  if (withCredentials) {
    client.UserName = options.User;
    client.Password = options.Password;
  }
  bool connected = false;
  client.Sock->OnAfterConnect = [&connected](TBlockSocket&) { connected = true; };
  const bool ok = client.PerformRequest("GET", url);
  THttpGetResult result;
  if (!ok) {
    const int code = client.Sock->LastErrorCode();
    std::string error = client.Sock->LastErrorText();
    if (error.empty()) error = "error " + std::to_string(code);
    result = FailedHttpGet(code, std::move(error));
  }
  result.Ok = ok;
  result.Connected = connected;
  result.Location = LocationOf(client.Headers);
  result.StatusLine = client.StatusLine;
  result.ResultCode = client.StatusLine.empty() ? 0 : client.ResultCode;
  if (!client.StatusLine.empty()) result.RetryAfter = RetryAfterOf(client.Headers);
  return result;
}

// One GET, with the redirects to the same order's URL followed, each hop a
// fresh client within the request's one bound; on Ok `take` gets the last
// answer's body, without a byte order mark in front of it.
template <typename Take>
THttpGetResult GetFollowing(const std::string& url, const THttpGetOptions& options, Take take) {
  const auto start = std::chrono::steady_clock::now();
  const TUrlParts first = SplitUrl(url);
  std::string current = url;
  bool permanent = true;
  for (int hop = 0;; ++hop) {
    THttpClient client;
    const std::int32_t left = RequestLeft(options.Timeouts.Request, start);
    if (left == 0) return FailedHttpGet(WsaError::TimedOut, SocketErrorText(WsaError::TimedOut));
    THttpGetResult result = ExchangeOnce(client, current, options, left, SplitUrl(current).Host == first.Host);
    const TUrlParts from = SplitUrl(current);
    const std::string next =
        result.Ok && IsRedirectStatus(result.ResultCode) ? ResolveLocation(from, result.Location) : "";
    const TUrlParts to = SplitUrl(next);
    const TRedirectVerdict verdict = next.empty() ? TRedirectVerdict::OtherResource : JudgeRedirect(from, to);
    if (verdict == TRedirectVerdict::OtherResource) {
      if (result.Ok) {
        if (client.Document.Remaining().substr(0, 3) == "\xEF\xBB\xBF")
          client.Document.Seek(3, TMemoryStream::Origin::Current);
        take(client.Document);
      }
      if (result.Ok && hop > 0 && permanent && OriginText(from) != OriginText(first)) result.MovedTo = ShownUrl(from);
      return result;
    }
    if (verdict == TRedirectVerdict::Downgrade)
      return FailedHttpGet(WsaError::RedirectRefused, "the service at " + OriginText(from) +
                                                          " sent the request on to " + OriginText(to) +
                                                          ": a redirect from https to plain http is never followed");
    if (hop == kMaxRedirects)
      return FailedHttpGet(WsaError::RedirectRefused,
                           "more than " + std::to_string(kMaxRedirects) + " redirects, the last to " + OriginText(to));
    permanent = permanent && IsPermanentRedirect(result.ResultCode);
    current = next;
  }
}

} // namespace

THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  return GetFollowing(url, options, [&lines](TMemoryStream& body) { lines.LoadFromStream(body); });
}

THttpGetResult HttpGetFirstLine(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  return GetFollowing(url, options, [&lines](TMemoryStream& body) {
    lines.Clear();
    std::size_t after = 0;
    TStringList::ForEachLine(body.Remaining(), [&](std::string_view line) {
      if (lines.Count() > 0 && TrimView(line).empty()) return true;
      lines.Add(std::string(line.substr(0, kHttpFirstLineMax)));
      if (lines.Count() == 1) return true;
      after += std::min(line.size(), kHttpFirstLineMax);
      return after < kHttpLinesAfterFirst;
    });
  });
}

bool HttpGetLines(const std::string& url, TStringList& lines) {
  std::string error;
  return HttpGetLines(url, lines, error);
}

bool HttpGetLines(const std::string& url, TStringList& lines, std::string& error) {
  THttpGetResult result = HttpGetLines(url, lines, THttpGetOptions{});
  if (!result.Ok) error = std::move(result.Error);
  return result.Ok;
}

} // namespace od
