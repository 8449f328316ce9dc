#include "net/HttpGet.h"

#include "net/HttpClient.h"
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

THttpGetResult FailedHttpGet(int errorCode, std::string error) {
  THttpGetResult result;
  result.ErrorCode = errorCode;
  result.Error = std::move(error);
  result.Failure = HttpFailureOf(errorCode);
  return result;
}

THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  THttpClient client;
  client.MaxBodySize = kHttpGetLinesMaxBody;
  client.SetTimeouts(options.Timeouts);
  client.Sock->WaitHook = options.Hook;
  const bool ok = client.PerformRequest("GET", url);
  THttpGetResult result;
  if (ok) {
    lines.LoadFromStream(client.Document);
  } else {
    const int code = client.Sock->LastErrorCode();
    std::string error = client.Sock->LastErrorText();
    if (error.empty()) error = "error " + std::to_string(code);
    result = FailedHttpGet(code, std::move(error));
  }
  result.Ok = ok;
  result.StatusLine = client.StatusLine;
  result.ResultCode = client.StatusLine.empty() ? 0 : client.ResultCode;
  return result;
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
