#include "net/HttpGet.h"

#include "net/HttpClient.h"

namespace od {

THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  THttpClient client;
  client.MaxBodySize = kHttpGetLinesMaxBody;
  client.SetTimeouts(options.Timeouts);
  client.Sock->WaitHook = options.Hook;
  THttpGetResult result;
  result.Ok = client.PerformRequest("GET", url);
  result.StatusLine = client.StatusLine;
  result.ResultCode = client.StatusLine.empty() ? 0 : client.ResultCode;
  if (result.Ok) {
    lines.LoadFromStream(client.Document);
  } else {
    result.ErrorCode = client.Sock->LastErrorCode();
    result.Error = client.Sock->LastErrorText();
    if (result.Error.empty()) result.Error = "error " + std::to_string(result.ErrorCode);
  }
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
