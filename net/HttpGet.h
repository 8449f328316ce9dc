#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/HttpTimeouts.h"
#include "net/Proxy.h"
#include "net/WaitHook.h"
#include "text/StringList.h"

// The one-call GET: a fresh client per call, so that calls on several
// threads at once share nothing but the process-wide, locked socket state.
namespace od {

// The largest body HttpGetLines takes. Its answers are a line or two; the
// list holds an entry per line break, so a body of nothing but line breaks
// would cost some forty times its size.
constexpr std::int64_t kHttpGetLinesMaxBody = 1024 * 1024;

// Why an exchange failed, by what a caller may do about it: stop, try the
// same again later, or give up on the address. The socket's code stays in
// ErrorCode for the message.
enum class THttpFailure {
  None,         // the exchange completed, whatever the status code
  Stopped,      // a wait hook or a stop request ended it (10004)
  TimedOut,     // a wait or the request's deadline ran out (10060)
  Refused,      // nothing listens at the address (10061)
  Reset,        // the peer reset or closed the connection before the answer was whole (10054, 10052, 12002)
  CutShort,     // broken off on this side: aborted, or an answer that cannot be framed (10053)
  Unreachable,  // no way to the host or its network (10050, 10051, 10064, 10065)
  NameNotFound, // the host name does not exist or has no address (11001, 11004)
  NameNotNow,   // the resolver could not answer this time (11002)
  TooLarge,     // the answer went past one of the client's bounds (10055)
  Secure,       // the secure session could not be set up or broke down (12000)
  Certificate,  // the server's certificate was refused: never better on another try (12001)
  Tunnel,       // the proxy refused the tunnel (12003)
  Redirect,     // a redirect that is never followed, or too many (12004)
  Other,        // anything else: a bad URL, no secure layer, no descriptors left, ...
};

// The one place that reads the socket's codes as reasons, for an exchange
// that failed: one that failed without a code (0) is Other too.
THttpFailure HttpFailureOf(int errorCode) noexcept;

struct THttpGetResult {
  bool Ok = false;             // the exchange completed at the socket level, whatever the status code
  std::int32_t ResultCode = 0; // the answer's status code; 0 when no status line came
  std::string StatusLine;      // the status line as received, e.g. "HTTP/1.0 400 Bad Request"; empty when none
  int ErrorCode = 0;           // the socket's error code when !Ok (10060 time-out, 10061 refused, 10004 stopped...)
  std::string Error;           // its text
  THttpFailure Failure = THttpFailure::None; // what ErrorCode means for the caller; None when Ok
  // The connection was made: a time-out then is the answer's wait (or the
  // request's), not the connect's.
  bool Connected = false;
  // The answer's Location header, when it has one (a 3xx says where to).
  std::string Location;
  std::string RetryAfter; // the answer's Retry-After value, trimmed; empty when it sent none
  // Where the answer came from when the service has moved for good: every
  // redirect on the way was permanent and the origin is another. The URL
  // without credentials; empty otherwise.
  std::string MovedTo;
};

// A result that failed with the socket's code and its text, the reason
// read from the code.
THttpGetResult FailedHttpGet(int errorCode, std::string error);

class THostResolver;

struct THttpGetOptions {
  THttpTimeouts Timeouts;
  const THttpWaitHook* Hook = nullptr;
  // Where the host is looked up; null: the system, on the requesting
  // thread, for each request.
  THostResolver* Resolver = nullptr;
  // The proxies to take; none by default.
  TProxySettings Proxy;
  // Sent as Authorization Basic when User is not empty, to the URL's host
  // only: a redirect to another host does not get them.
  std::string User;
  std::string Password;
};

// One GET with a fresh client: on Ok the body's lines replace `lines`; on
// failure the list is left as it was. Redirects to the same path and query
// elsewhere are followed (at most kMaxRedirects, all within the request's
// time-out); others stand as answers of their own. A UTF-8 byte order mark
// in front of the body is not part of its first line: a script saved with
// one sends it before every answer, invisible wherever the line is shown.
THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options);
// The longest first line HttpGetFirstLine keeps: far more than any date or
// report shows, and little enough that many answers waiting cost nothing.
constexpr std::size_t kHttpFirstLineMax = 64 * 1024;

// After the first line, the lines with text that HttpGetFirstLine keeps, in
// bytes: enough for the start of a page that says why an order was refused.
constexpr std::size_t kHttpLinesAfterFirst = 1024;

// One GET with a fresh client that keeps only what a caller of one line
// needs: on Ok `lines` holds the body's first line (cut after
// kHttpFirstLineMax bytes), or nothing when the body has none, and after it
// the lines with text that follow (blank ones left out) up to
// kHttpLinesAfterFirst bytes; the body itself is freed with the client. A
// body of a million line breaks costs one line.
THttpGetResult HttpGetFirstLine(const std::string& url, TStringList& lines, const THttpGetOptions& options);
// The same with the default time-outs and no hook: true when Ok.
bool HttpGetLines(const std::string& url, TStringList& lines);
// The same; on false `error` says why, as the socket describes its last
// error.
bool HttpGetLines(const std::string& url, TStringList& lines, std::string& error);

} // namespace od
