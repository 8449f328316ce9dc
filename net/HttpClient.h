#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/MemoryStream.h"
#include "net/BlockSocket.h"
#include "net/HttpGet.h"
#include "net/HttpText.h"
#include "net/HttpTimeouts.h"
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

  // Sets every time-out of the client and its socket at once; Timeouts()
  // reads them back.
  void SetTimeouts(const THttpTimeouts& timeouts);
  THttpTimeouts Timeouts() const;

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
  std::int32_t KeepAliveTimeout = THttpTimeouts{}.KeepAlive;
  bool Status100 = false;
  std::string ProxyHost;
  std::string ProxyPort = "8080";
  std::string ProxyUser;
  std::string ProxyPass;
  std::int32_t ResultCode = 0;
  std::string ResultString;
  // The last request's status line as it came; empty when none came.
  std::string StatusLine;
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
  std::int32_t RequestDeadline = THttpTimeouts{}.Request;
  // Declared last so that it goes first: the connection closes before the
  // buffers it fills are freed.
  std::unique_ptr<TTCPBlockSocket> Sock;

private:
  struct HeaderBudget {
    size_t bytes = 0;
    int lines = 0;
  };
  // What the response's head says about its body and the connection.
  struct ResponseHead {
    std::int32_t length = -1;
    bool closeAfter = false;
  };

  // The steps of PerformRequest, in their order.
  // Points the socket's tunnel at the proxy for a secure request; whether
  // the request goes to the proxy as a plain one.
  bool ChooseRoute(bool secure);
  // The request's lines, top to bottom, in front of the caller's own lines
  // in Headers; the block to send.
  std::string BuildRequest(const std::string& method, const TUrlParts& parts, bool useProxy, bool expect100);
  std::string CookieLine() const;
  // Status line, past interim answers, then the header lines.
  bool ReceiveHead(bool useProxy, ResponseHead& head);
  void ReceiveStatus(HeaderBudget& budget);
  void ReceiveHeaders(HeaderBudget& budget, bool useProxy, ResponseHead& head);
  bool ReceiveBody(const std::string& method, const ResponseHead& head, bool& reusable);
  void ForgetConnection();

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

} // namespace od
