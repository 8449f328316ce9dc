#pragma once

#include <cstdint>
#include <string>

#include "net/HttpTimeouts.h"
#include "net/WaitHook.h"
#include "text/StringList.h"

// The one-call GET: a fresh client per call, so that calls on several
// threads at once share nothing but the process-wide, locked socket state.
namespace od {

// The largest body HttpGetLines takes. Its answers are a line or two; the
// list holds an entry per line break, so a body of nothing but line breaks
// would cost some forty times its size.
constexpr std::int64_t kHttpGetLinesMaxBody = 1024 * 1024;

struct THttpGetResult {
  bool Ok = false;             // the exchange completed at the socket level, whatever the status code
  std::int32_t ResultCode = 0; // the answer's status code; 0 when no status line came
  std::string StatusLine;      // the status line as received, e.g. "HTTP/1.0 400 Bad Request"; empty when none
  int ErrorCode = 0;           // the socket's error code when !Ok (10060 time-out, 10061 refused, 10004 stopped...)
  std::string Error;           // its text
};

struct THttpGetOptions {
  THttpTimeouts Timeouts;
  const THttpWaitHook* Hook = nullptr;
};

// One GET with a fresh client: on Ok the body's lines replace `lines`; on
// failure the list is left as it was.
THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options);
// The same with the default time-outs and no hook: true when Ok.
bool HttpGetLines(const std::string& url, TStringList& lines);
// The same; on false `error` says why, as the socket describes its last
// error.
bool HttpGetLines(const std::string& url, TStringList& lines, std::string& error);

} // namespace od
