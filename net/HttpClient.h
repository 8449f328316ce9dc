#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/MemoryStream.h"
#include "net/BlockSocket.h"
#include "net/HttpGet.h"
#include "net/HttpMessage.h"
#include "net/HttpRoute.h"
#include "net/HttpText.h"
#include "net/HttpTimeouts.h"
#include "text/StringList.h"

// A blocking HTTP/1.x client over TTCPBlockSocket. A request never raises:
// every failure of the exchange becomes the result false, and the socket's
// LastErrorCode tells why.
//
// Each request is a THttpRequest and its answer a THttpResponse of their
// own; the client's fields are where a caller meets them. Before a request
// Headers holds the caller's extra header lines and Document the body to
// send; once the request has gone out Headers shows its head as sent, and
// once the answer starts both hold the answer (status and header lines,
// body), even when it breaks off.
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

  // The steps of PerformRequest, in their order.
  // The route, the head and where to connect; Headers shows the head.
  THttpRequest PrepareRequest(const std::string& method, const std::string& url);
  // The request's lines, top to bottom, in front of the caller's own lines
  // in Headers.
  TStringList BuildHead(const THttpRequest& request) const;
  std::string CookieLine() const;
  bool EnsureConnection(bool secure);
  bool OpenConnection(bool secure);
  bool SendRequest(const THttpRequest& request);
  // After a head that expects 100-continue: whether the body goes out.
  // A final status that comes instead is put back for the response reader.
  bool AwaitContinue(bool& sendBody);
  void SendBody(const THttpRequest& request);
  // Status line, past interim answers, then the header lines.
  bool ReceiveHead(const THttpRequest& request, THttpResponse& response);
  void ReceiveStatus(HeaderBudget& budget, THttpResponse& response);
  void ReceiveHeaders(HeaderBudget& budget, const THttpRoute& route, THttpResponse& response);
  // What one header line says about the body and the connection.
  void NoteHeader(const std::string& header, const THttpRoute& route, THttpResponse& response, bool& lengthSeen,
                  bool& lengthsAgree);
  bool ReceiveBody(const THttpRequest& request, THttpResponse& response, bool& reusable);
  // Hands the answer to the client's fields.
  void TakeResponse(THttpResponse& response);
  void ForgetConnection();

  std::string ReceiveHeaderLine(HeaderBudget& budget);
  // The next line that is not empty: blank lines in front of a status line
  // are skipped.
  std::string ReceiveFirstLine(HeaderBudget& budget);
  bool ReadBodyUntilClose(TMemoryStream& body);
  bool ReadBodyOfLength(TMemoryStream& body, std::int64_t length);
  // readTrailer: the connection may carry another exchange, so the trailer
  // section after the last chunk is read to its end. reusable turns false
  // when the body's end is not where the next response starts.
  bool ReadChunkedBody(TMemoryStream& body, bool readTrailer, bool& reusable);
  void ReadTrailer(bool& reusable);
  bool Failed() const { return Sock->LastErrorCode() != 0; }
  std::int64_t BodyLimit() const { return std::clamp<std::int64_t>(MaxBodySize, 0, kHttpMaxBodySize); }
};

} // namespace od
