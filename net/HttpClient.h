#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/MemoryStream.h"
#include "net/BlockSocket.h"
#include "text/StringList.h"

// A blocking HTTP/1.x client over TTCPBlockSocket. A request never raises:
// every failure of the exchange becomes the result false, and the socket's
// LastErrorCode tells why.
namespace od {

// Bounds on what a server may make the client hold. Going past one ends the
// exchange with false and the socket error 10055.
constexpr size_t kHttpMaxLineLength = 100 * 1024;
constexpr size_t kHttpMaxHeaderBytes = 300 * 1024;
constexpr int kHttpMaxHeaderLines = 5000;
constexpr std::int64_t kHttpMaxBodySize = 64 * 1024 * 1024;

// Longest time one request may take from the connect to the body's end, in
// milliseconds. Each single wait is bounded by Timeout (90 s) already, but a
// server that sends a byte every few seconds never lets such a wait run out.
// Two minutes lets a sane service that is slow answer: it may use nearly the
// whole single-wait time-out before its first byte and still send a body of
// megabytes over a poor link afterwards, while a trickling one holds a run
// for two minutes per request, not for ever.
constexpr std::int32_t kHttpRequestDeadline = 120000;

struct TUrlParts {
  std::string Scheme;
  std::string User;
  std::string Password;
  std::string Host;
  std::string Port;
  std::string Path;
  std::string Query;
  // "/" and everything after the authority, query and fragment included.
  std::string Target;
};

TUrlParts SplitUrl(std::string_view url);

class TNetClient {
public:
  TNetClient() = default;
  virtual ~TNetClient() = default;
  TNetClient(const TNetClient&) = delete;
  TNetClient& operator=(const TNetClient&) = delete;

  std::string TargetHost = "127.0.0.1";
  std::string TargetPort = "0";
  std::string IPInterface = "0.0.0.0";
  std::int32_t Timeout = 5000;
  std::string UserName;
  std::string Password;
};

enum class THttpBodyFraming { UntilClose, ByLength, Chunked };

class THttpClient : public TNetClient {
public:
  THttpClient();
  ~THttpClient() override;

  // Sends one request and reads the response into the object. True when the
  // exchange completed at the socket level, whatever the status code.
  bool PerformRequest(const std::string& method, const std::string& url);
  void ResetResponse();

  void ParseStatusLine(const std::string& line);
  // The logical header line at index, joined with its continuation lines;
  // index moves past every list line consumed.
  static std::string UnfoldHeaderLine(const TStringList& list, int& index);
  void CollectCookies();

  TStringList Headers;
  TStringList Cookies;
  TMemoryStream Document;
  THttpBodyFraming BodyFraming = THttpBodyFraming::UntilClose;
  std::string ConnectedHost;
  std::string ConnectedPort;
  std::string MimeType = "text/html";
  std::string Protocol = "1.0";
  bool KeepAlive = true;
  std::int32_t KeepAliveTimeout = 300;
  bool Status100 = false;
  std::string ProxyHost;
  std::string ProxyPort = "8080";
  std::string ProxyUser;
  std::string ProxyPass;
  std::int32_t ResultCode = 0;
  std::string ResultString;
  std::string UserAgent = "Mozilla/4.0 (compatible; orderdates)";
  std::int32_t DownloadSize = 0;
  std::int32_t UploadSize = 0;
  std::int32_t RangeStart = 0;
  std::int32_t RangeEnd = 0;
  bool AddPortNumberToHost = true;
  // A larger body ends the exchange with 10055; never above kHttpMaxBodySize.
  std::int64_t MaxBodySize = kHttpMaxBodySize;
  // Overall limit of one request in milliseconds; when it passes, the request
  // fails with the time-out error 10060. A negative value means none.
  std::int32_t RequestDeadline = kHttpRequestDeadline;
  // Declared last so that it goes first: the connection closes before the
  // buffers it fills are freed.
  std::unique_ptr<TTCPBlockSocket> Sock;

private:
  struct HeaderBudget {
    size_t bytes = 0;
    int lines = 0;
  };

  bool EnsureConnection(bool secure);
  bool OpenConnection(bool secure);
  bool SendRequest(const std::string& headerBlock, bool expect100);
  std::string ReceiveHeaderLine(HeaderBudget& budget);
  bool ReadBodyUntilClose();
  bool ReadBodyOfLength(std::int64_t length);
  // readTrailer: the connection may carry another exchange, so the trailer
  // section after the last chunk is read to its end. reusable turns false
  // when the body's end is not where the next response starts.
  bool ReadChunkedBody(bool readTrailer, bool& reusable);
  void ReadTrailer(bool& reusable);
  bool Failed() const { return Sock->LastErrorCode() != 0; }
  std::int64_t BodyLimit() const { return std::clamp<std::int64_t>(MaxBodySize, 0, kHttpMaxBodySize); }
};

// The largest body HttpGetLines takes. Its answers are a line or two; the
// list holds an entry per line break, so a body of nothing but line breaks
// would cost some forty times its size.
constexpr std::int64_t kHttpGetLinesMaxBody = 1024 * 1024;

// One GET with a fresh client: on true the body's lines replace the list's
// contents; on false the list is left as it was.
bool HttpGetLines(const std::string& url, TStringList& lines);
// The same; on false `error` says why, as the socket describes its last
// error.
bool HttpGetLines(const std::string& url, TStringList& lines, std::string& error);

// PROVISIONAL: replaced by the net layer's own version.
struct THttpTimeouts {
  std::int32_t Wait = 90000;
  std::int32_t Request = kHttpRequestDeadline;
  static THttpTimeouts AnswerWithin(std::int32_t ms) { return {ms, ms}; }
};
struct THttpWaitHook {
  std::chrono::milliseconds Interval{16};
  std::function<bool()> OnWait;
};
struct THttpGetResult {
  bool Ok = false;
  std::int32_t ResultCode = 0;
  std::string StatusLine;
  int ErrorCode = 0;
  std::string Error;
};
struct THttpGetOptions {
  THttpTimeouts Timeouts;
  const THttpWaitHook* Hook = nullptr;
};
THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options);

} // namespace od
