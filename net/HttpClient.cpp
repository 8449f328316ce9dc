#include "net/HttpClient.h"

#include <algorithm>
#include <climits>

#include "base/Ascii.h"

namespace od {

using namespace httptext;

THttpClient::THttpClient() : Sock(std::make_unique<TTCPBlockSocket>()) {
  Sock->ConvertLineEnd = true;
  // Room for the longest header line the client accepts plus the packet that
  // completes it; the line itself is checked against the exact bound.
  Sock->MaxLineLength = static_cast<std::int32_t>(kHttpMaxLineLength + 65536 + 2);
  TargetPort = "80";
  SetTimeouts(THttpTimeouts{});
  ResetResponse();
}

THttpClient::~THttpClient() = default;

void THttpClient::ResetResponse() {
  RangeStart = 0;
  RangeEnd = 0;
  Document.Clear();
  Headers.Clear();
  MimeType = "text/html";
}

void THttpClient::SetTimeouts(const THttpTimeouts& timeouts) {
  Timeout = timeouts.Wait;
  RequestDeadline = timeouts.Request;
  KeepAliveTimeout = timeouts.KeepAlive;
  Sock->NonblockSendTimeout = timeouts.SendReady;
  Sock->DrainTimeout = timeouts.Drain;
}

THttpTimeouts THttpClient::Timeouts() const {
  THttpTimeouts timeouts;
  timeouts.Wait = Timeout;
  timeouts.Request = RequestDeadline;
  timeouts.KeepAlive = KeepAliveTimeout;
  timeouts.SendReady = Sock->NonblockSendTimeout;
  timeouts.Drain = Sock->DrainTimeout;
  return timeouts;
}

bool THttpClient::PerformRequest(const std::string& method, const std::string& url) {
  ResultCode = 500;
  ResultString.clear();
  StatusLine.clear();
  DownloadSize = 0;
  UploadSize = 0;
  if (HasLineBreakOrNul(url)) {
    Sock->SetLastError(WsaError::InvalidArgument);
    return false;
  }

  // The whole exchange, connect included, ends by the deadline; the socket
  // keeps none once the request is over.
  struct DeadlineScope {
    TBlockSocket& sock;
    ~DeadlineScope() { sock.SetDeadline(-1); }
  } deadlineScope{*Sock};
  Sock->SetDeadline(RequestDeadline);

  const THttpRequest request = PrepareRequest(method, url);
  if (!EnsureConnection(request.Route.Secure)) {
    ForgetConnection();
    return false;
  }
  Document.SetPosition(0);
  if (!SendRequest(request)) {
    // What the server has seen of this request is unknown: never reuse.
    ForgetConnection();
    return false;
  }
  THttpResponse response;
  response.CloseAfter = Protocol != "1.1";
  const bool headRead = ReceiveHead(request, response);
  bool reusable = true;
  const bool result = headRead && ReceiveBody(request, response, reusable);
  const bool closeAfter = response.CloseAfter;
  TakeResponse(response);
  if (!headRead) {
    ForgetConnection();
    return false;
  }
  if (closeAfter) {
    Sock->CloseConnection();
    ForgetConnection();
  } else if (!result || !reusable) {
    // The rest of a broken body may still arrive: this connection cannot
    // carry another exchange.
    ForgetConnection();
  }
  CollectCookies();
  return result;
}

void THttpClient::ForgetConnection() {
  ConnectedHost.clear();
  ConnectedPort.clear();
}

THttpRequest THttpClient::PrepareRequest(const std::string& method, const std::string& url) {
  THttpRequest request;
  request.Method = method;
  request.Url = SplitUrl(url);
  request.Route = ChooseHttpRoute(request.Url, UpperAscii(request.Url.Scheme) == "HTTPS",
                                  {ProxyHost, ProxyPort, ProxyUser, ProxyPass});
  AimTunnel(*Sock, request.Route);
  request.Body = &Document;
  request.Expect100 = Status100 && request.BodySize() > 0 && Protocol == "1.1";
  request.Head = BuildHead(request);
  // The head as sent stays in view until the answer starts.
  Headers = request.Head;
  TargetHost = request.Route.Host;
  TargetPort = request.Route.Port;
  if (Protocol == "0.9") {
    request.HeadBlock = request.Head.Get(0) + "\r\n";
  } else {
    for (const std::string& line : request.Head) {
      request.HeadBlock += line;
      request.HeadBlock += "\r\n";
    }
  }
  return request;
}

std::string THttpClient::CookieLine() const {
  std::string cookies;
  for (const std::string& cookie : Cookies) {
    if (!cookies.empty()) cookies += "; ";
    cookies += cookie;
  }
  return cookies.empty() ? cookies : "Cookie: " + cookies;
}

TStringList THttpClient::BuildHead(const THttpRequest& request) const {
  const TUrlParts& parts = request.Url;
  std::string user = parts.User;
  std::string password = parts.Password;
  if (user.empty()) {
    user = UserName;
    password = Password;
  }
  const bool sending = request.BodySize() > 0;
  const std::string hostText = IsIPv6Text(parts.Host) ? "[" + parts.Host + "]" : parts.Host;
  std::string target = RouteTarget(request.Route, parts, hostText);
  if (target == "/*") target = "*";

  TStringList head;
  head.Add(UpperAscii(request.Method) + " " + target + (Protocol == "0.9" ? "" : " HTTP/" + Protocol));
  head.Add("Host: " + hostText + (AddPortNumberToHost && parts.Port != "80" ? ":" + parts.Port : ""));
  AddProxyAuthorization(head, request.Route);
  if (!user.empty()) head.Add("Authorization: Basic " + Base64(user + ":" + password));
  const std::string connection = ConnectionHeaderName(request.Route) + ": ";
  if (KeepAlive) {
    head.Add("Keep-Alive: " + std::to_string(KeepAliveTimeout));
    head.Add(connection + "keep-alive");
  } else {
    head.Add(connection + "close");
  }
  if (const std::string cookies = CookieLine(); !cookies.empty()) head.Add(cookies);
  if (RangeStart > 0 || RangeEnd > 0)
    head.Add("Range: bytes=" + std::to_string(RangeStart) + "-" +
             (RangeEnd >= RangeStart ? std::to_string(RangeEnd) : ""));
  if (!UserAgent.empty()) head.Add("User-Agent: " + UserAgent);
  if (sending && !MimeType.empty()) head.Add("Content-Type: " + MimeType);
  if (sending) head.Add("Content-Length: " + std::to_string(request.BodySize()));
  if (request.Expect100) head.Add("Expect: 100-continue");
  // The caller's own lines follow; the empty line ends the block.
  for (const std::string& line : Headers) head.Add(line);
  if (!head.Get(head.Count() - 1).empty()) head.Add("");
  return head;
}

bool THttpClient::ReceiveHead(const THttpRequest& request, THttpResponse& response) {
  ResetResponse();
  HeaderBudget budget;
  ReceiveStatus(budget, response);
  if (response.Headers.Count() > 0) ReceiveHeaders(budget, request.Route, response);
  return !Failed();
}

void THttpClient::ReceiveStatus(HeaderBudget& budget, THttpResponse& response) {
  do {
    const std::string line = ReceiveFirstLine(budget);
    if (StartsWith(UpperAscii(line.substr(0, 5)), "HTTP/")) {
      response.Headers.Add(line);
      od::ParseStatusLine(line, response.ResultCode, response.ResultString);
      response.StatusLine = line;
    } else {
      // No status line: the server's bytes are all body.
      response.Document.Write(line + "\r\n");
      response.ResultCode = 0;
    }
  } while (!Failed() && response.ResultCode == 100);
}

void THttpClient::ReceiveHeaders(HeaderBudget& budget, const THttpRoute& route, THttpResponse& response) {
  TStringList lines;
  std::string line;
  do {
    line = ReceiveHeaderLine(budget);
    lines.Add(line);
  } while (!line.empty() && !Failed());
  bool lengthSeen = false;
  bool lengthsAgree = true;
  for (int index = 0; index < lines.Count();) {
    const std::string header = UnfoldHeaderLine(lines, index);
    response.Headers.Add(header);
    NoteHeader(header, route, response, lengthSeen, lengthsAgree);
  }
  // Two different lengths leave no way to tell where the body ends, and
  // picking one may hand the caller a cut or a padded body: HTTP makes such
  // a response an error, whatever else frames it.
  if (!lengthsAgree && !Failed()) Sock->SetLastError(WsaError::ConnectionAborted);
}

void THttpClient::NoteHeader(const std::string& header, const THttpRoute& route, THttpResponse& response,
                             bool& lengthSeen, bool& lengthsAgree) {
  const std::string upper = UpperAscii(header);
  if (StartsWith(upper, "CONTENT-LENGTH:")) {
    const std::int32_t value = ContentLengthValue(TextAfter(header, " "), lengthsAgree);
    if (lengthSeen && value != response.ContentLength) lengthsAgree = false;
    lengthSeen = true;
    response.ContentLength = value;
    if (response.ContentLength != -1 && response.BodyFraming == THttpBodyFraming::UntilClose)
      response.BodyFraming = THttpBodyFraming::ByLength;
  }
  if (StartsWith(upper, "CONTENT-TYPE:")) response.MimeType = Trim(TextAfter(header, " "));
  if (StartsWith(upper, "TRANSFER-ENCODING:") &&
      TrimView(TextAfter(upper, " ")).find("CHUNKED") != std::string_view::npos)
    response.BodyFraming = THttpBodyFraming::Chunked;
  if (AsksToClose(route, upper)) response.CloseAfter = true;
}

bool THttpClient::ReceiveBody(const THttpRequest& request, THttpResponse& response, bool& reusable) {
  bool result = true;
  const std::int32_t code = response.ResultCode;
  if (request.Method != "HEAD" && code != 204 && code != 304) {
    switch (response.BodyFraming) {
    case THttpBodyFraming::UntilClose: result = ReadBodyUntilClose(response.Document); break;
    case THttpBodyFraming::ByLength: result = ReadBodyOfLength(response.Document, response.ContentLength); break;
    case THttpBodyFraming::Chunked: result = ReadChunkedBody(response.Document, !response.CloseAfter, reusable); break;
    }
  }
  response.Document.SetPosition(0);
  return result;
}

void THttpClient::TakeResponse(THttpResponse& response) {
  Headers = std::move(response.Headers);
  Document = std::move(response.Document);
  ResultCode = response.ResultCode;
  ResultString = std::move(response.ResultString);
  StatusLine = std::move(response.StatusLine);
  MimeType = std::move(response.MimeType);
  BodyFraming = response.BodyFraming;
}

bool THttpClient::SendRequest(const THttpRequest& request) {
  const std::int64_t size = request.BodySize();
  if (request.Expect100) {
    Sock->SendText(request.HeadBlock);
    if (Failed()) return false;
    bool sendBody = true;
    if (!AwaitContinue(sendBody)) return false;
    if (!sendBody) return true;
    UploadSize = static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
    SendBody(request);
    return !Failed();
  }

  if (size > 0 && size < 65536) {
    std::string whole = request.HeadBlock;
    whole.append(request.Body->Bytes());
    Sock->SendText(whole);
    UploadSize = static_cast<std::int32_t>(whole.size());
  } else if (size > 0) {
    Sock->SendText(request.HeadBlock);
    UploadSize = static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
    if (!Failed()) SendBody(request);
  } else {
    Sock->SendText(request.HeadBlock);
  }
  return !Failed();
}

bool THttpClient::AwaitContinue(bool& sendBody) {
  // When the server stays silent the body goes out anyway.
  HeaderBudget budget;
  const std::string line = ReceiveFirstLine(budget);
  if (Failed()) {
    if (Sock->LastErrorCode() != WsaError::TimedOut) return false;
    Sock->ClearLastError();
    return true;
  }
  const std::string upper = UpperAscii(line);
  const std::int32_t code = IntegerValue(TrimView(TextBefore(TrimView(TextAfter(line, " ")), " ")), 0);
  Sock->UnreadLine(line);
  sendBody = StartsWith(upper, "HTTP/") && code >= 100 && code <= 199;
  return true;
}

void THttpClient::SendBody(const THttpRequest& request) {
  // Straight from the stream's memory, in pieces an int can count.
  constexpr std::int64_t piece = 1 << 30;
  const std::int64_t size = request.BodySize();
  for (std::int64_t offset = 0; offset < size && !Failed(); offset += piece)
    Sock->SendBytes(request.Body->Memory() + offset, static_cast<int>(std::min(piece, size - offset)));
}

std::string THttpClient::ReceiveHeaderLine(HeaderBudget& budget) {
  std::string line = Sock->ReceiveLine(Timeout);
  if (Failed()) return {};
  budget.bytes += line.size() + 2;
  ++budget.lines;
  if (line.size() > kHttpMaxLineLength || budget.bytes > kHttpMaxHeaderBytes || budget.lines > kHttpMaxHeaderLines) {
    Sock->SetLastError(WsaError::NoBufferSpace);
    return {};
  }
  return line;
}

std::string THttpClient::ReceiveFirstLine(HeaderBudget& budget) {
  std::string line;
  do line = ReceiveHeaderLine(budget);
  while (line.empty() && !Failed());
  return line;
}

void THttpClient::ParseStatusLine(const std::string& line) { od::ParseStatusLine(line, ResultCode, ResultString); }

std::string THttpClient::UnfoldHeaderLine(const TStringList& list, int& index) {
  std::string line = list.Get(index);
  ++index;
  if (!line.empty()) {
    while (index < list.Count() - 1) {
      std::string next = list.Get(index);
      if (next.empty()) break;
      std::replace(next.begin(), next.end(), '\t', ' ');
      const char first = next.front();
      if (first != ' ' && first != '"' && first != ':' && first != '=') break;
      line += " ";
      line += TrimView(next);
      ++index;
    }
  }
  return std::string(TrimRightView(line));
}

void THttpClient::CollectCookies() {
  for (const std::string& line : Headers) {
    if (!StartsWith(LowerAscii(line.substr(0, 11)), "set-cookie:")) continue;
    const std::string_view cookie = TrimView(TextBefore(TextAfter(line, ":"), ";"));
    const std::string name = Trim(TextBefore(cookie, "="));
    const std::string value = Trim(TextAfter(cookie, "="));
    const int index = Cookies.IndexOfName(name);
    if (value.empty()) {
      if (index >= 0) Cookies.Delete(index);
    } else if (index >= 0) {
      Cookies.Put(index, name + "=" + value);
    } else {
      Cookies.Add(name + "=" + value);
    }
  }
}

bool THttpClient::EnsureConnection(bool secure) {
  // Bytes left over from the last response (or a close notice) mean the
  // connection is not where a new request can start.
  if (Sock->SocketHandle() != -1 && ConnectedHost == TargetHost && ConnectedPort == TargetPort &&
      Sock->ReadAhead.empty() && !Sock->WaitReadable(0))
    return true;
  return OpenConnection(secure);
}

bool THttpClient::OpenConnection(bool secure) {
  Sock->CloseConnection();
  // The socket buffers are left to the system: it starts them at least as
  // large as a fixed 64 KiB would make the receive side and grows both as
  // the connection needs, which a fixed size would switch off.
  Sock->BindLocal(IPInterface, "0");
  if (Failed()) return false;
  // A connect is one wait like any other: an address that never answers
  // costs the client's time-out, not the system's minutes.
  Sock->ConnectTimeout = Timeout;
  Sock->ConnectTo(TargetHost, TargetPort);
  if (Failed()) return false;
  if (secure) {
    // The certificate must name the host of the URL, also through a tunnel.
    Sock->SecureLayer().SNIHost = TargetHost;
    Sock->StartSecureLayer();
    if (Failed()) return false;
  }
  ConnectedHost = TargetHost;
  ConnectedPort = TargetPort;
  return true;
}

bool THttpClient::ReadBodyUntilClose(TMemoryStream& body) {
  do {
    const std::string packet = Sock->ReceivePacket(Timeout);
    if (Failed()) break;
    if (static_cast<std::int64_t>(body.Size() + packet.size()) > BodyLimit()) {
      Sock->SetLastError(WsaError::NoBufferSpace);
      break;
    }
    body.Write(packet);
  } while (true);
  // An orderly close by the server is the end of this kind of body.
  if (Sock->LastErrorCode() == WsaError::ConnectionReset) {
    Sock->ClearLastError();
    return true;
  }
  return false;
}

bool THttpClient::ReadBodyOfLength(TMemoryStream& body, std::int64_t length) {
  if (length < 1) return true;
  if (static_cast<std::int64_t>(body.Size()) + length > BodyLimit()) {
    Sock->SetLastError(WsaError::NoBufferSpace);
    return false;
  }
  DownloadSize = static_cast<std::int32_t>(length);
  Sock->ReceiveToStream(body, Timeout, length);
  body.Seek(0, TMemoryStream::Origin::End);
  return !Failed();
}

bool THttpClient::ReadChunkedBody(TMemoryStream& body, bool readTrailer, bool& reusable) {
  // Size lines and the blank lines between chunks count against the body
  // bound too, so a server cannot keep the client reading them forever.
  std::int64_t overhead = 0;
  while (true) {
    std::string line;
    do {
      line = Sock->ReceiveLine(Timeout);
      overhead += static_cast<std::int64_t>(line.size()) + 1;
      if (!Failed() &&
          (line.size() > kHttpMaxLineLength || static_cast<std::int64_t>(body.Size()) + overhead > BodyLimit()))
        Sock->SetLastError(WsaError::NoBufferSpace);
    } while (line.empty() && !Failed());
    if (Failed()) break;
    const std::string_view sizeText = TrimView(TextBefore(TrimView(TextBefore(line, " ")), ";"));
    const std::int64_t size = ChunkSize(sizeText, kHttpMaxBodySize);
    if (size < 0) {
      Sock->SetLastError(WsaError::NoBufferSpace);
      break;
    }
    if (size == 0) {
      // A size line that is not a number ends the body too, but then nothing
      // says where the next response would start.
      if (!IsHexNumber(sizeText))
        reusable = false;
      else if (readTrailer)
        ReadTrailer(reusable);
      break;
    }
    if (!ReadBodyOfLength(body, size)) break;
  }
  return !Failed();
}

void THttpClient::ReadTrailer(bool& reusable) {
  // Trailer lines up to the empty line that ends the message: left unread,
  // they would sit in front of the next response. The body is whole already,
  // so a trailer that breaks off costs only the connection.
  HeaderBudget budget;
  std::string line;
  do line = ReceiveHeaderLine(budget);
  while (!line.empty() && !Failed());
  if (Failed()) {
    Sock->ClearLastError();
    reusable = false;
  }
}

} // namespace od
