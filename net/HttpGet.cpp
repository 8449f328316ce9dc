#include "net/HttpGet.h"

#include <algorithm>
#include <string_view>

#include "base/Ascii.h"
#include "net/HttpClient.h"
#include "net/HttpText.h"
#include "net/SocketErrors.h"

namespace od {

THttpFailure HttpFailureOf(int errorCode) noexcept {
  switch (errorCode) {
  case WsaError::Interrupted: return THttpFailure::Stopped;
  case WsaError::TimedOut: return THttpFailure::TimedOut;
  case WsaError::ConnectionRefused: return THttpFailure::Refused;
  case WsaError::ConnectionReset:
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

// One GET with a fresh client; on Ok `take` gets the body.
template <typename Take>
THttpGetResult GetWithFreshClient(const std::string& url, const THttpGetOptions& options, Take take) {
  THttpClient client;
  client.MaxBodySize = kHttpGetLinesMaxBody;
  client.SetTimeouts(options.Timeouts);
  client.Sock->WaitHook = options.Hook;
  client.Sock->Resolver = options.Resolver;
  bool connected = false;
  client.Sock->OnAfterConnect = [&connected](TBlockSocket&) { connected = true; };
  const bool ok = client.PerformRequest("GET", url);
  THttpGetResult result;
  if (ok) {
    if (client.Document.Remaining().substr(0, 3) == "\xEF\xBB\xBF")
      client.Document.Seek(3, TMemoryStream::Origin::Current);
    take(client.Document);
  } else {
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

} // namespace

THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  return GetWithFreshClient(url, options, [&lines](TMemoryStream& body) { lines.LoadFromStream(body); });
}

THttpGetResult HttpGetFirstLine(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  return GetWithFreshClient(url, options, [&lines](TMemoryStream& body) {
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
