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

  const TUrlParts parts = SplitUrl(url);
  const bool secure = UpperAscii(parts.Scheme) == "HTTPS";
  const bool useProxy = ChooseRoute(secure);
  const bool expect100 = Status100 && Document.Size() > 0 && Protocol == "1.1";
  const std::string headerBlock = BuildRequest(method, parts, useProxy, expect100);

  if (!EnsureConnection(secure)) {
    ForgetConnection();
    return false;
  }
  Document.SetPosition(0);
  if (!SendRequest(headerBlock, expect100)) {
    // What the server has seen of this request is unknown: never reuse.
    ForgetConnection();
    return false;
  }
  ResponseHead head;
  head.closeAfter = Protocol != "1.1";
  if (!ReceiveHead(useProxy, head)) {
    ForgetConnection();
    return false;
  }
  bool reusable = true;
  const bool result = ReceiveBody(method, head, reusable);
  if (head.closeAfter) {
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

bool THttpClient::ChooseRoute(bool secure) {
  // A secure request reaches its host through the proxy's tunnel; a plain
  // one goes to the proxy itself.
  const bool tunnel = secure && !ProxyHost.empty();
  Sock->HTTPTunnelIP = secure ? ProxyHost : std::string();
  Sock->HTTPTunnelPort = secure ? ProxyPort : std::string();
  Sock->HTTPTunnelUser = secure ? ProxyUser : std::string();
  Sock->HTTPTunnelPass = secure ? ProxyPass : std::string();
  return !ProxyHost.empty() && !tunnel;
}

std::string THttpClient::CookieLine() const {
  std::string cookies;
  for (const std::string& cookie : Cookies) {
    if (!cookies.empty()) cookies += "; ";
    cookies += cookie;
  }
  return cookies.empty() ? cookies : "Cookie: " + cookies;
}

std::string THttpClient::BuildRequest(const std::string& method, const TUrlParts& parts, bool useProxy,
                                      bool expect100) {
  std::string user = parts.User;
  std::string password = parts.Password;
  if (user.empty()) {
    user = UserName;
    password = Password;
  }
  const bool sending = Document.Size() > 0;
  const std::string hostText = IsIPv6Text(parts.Host) ? "[" + parts.Host + "]" : parts.Host;
  std::string target = parts.Target;
  if (useProxy) target = parts.Scheme + "://" + hostText + ":" + parts.Port + target;
  if (target == "/*") target = "*";

  TStringList request;
  request.Add(UpperAscii(method) + " " + target + (Protocol == "0.9" ? "" : " HTTP/" + Protocol));
  request.Add("Host: " + hostText + (AddPortNumberToHost && parts.Port != "80" ? ":" + parts.Port : ""));
  if (useProxy && !ProxyUser.empty()) request.Add("Proxy-Authorization: Basic " + Base64(ProxyUser + ":" + ProxyPass));
  if (!user.empty()) request.Add("Authorization: Basic " + Base64(user + ":" + password));
  const std::string proxyPrefix = useProxy ? "Proxy-" : "";
  if (KeepAlive) {
    request.Add("Keep-Alive: " + std::to_string(KeepAliveTimeout));
    request.Add(proxyPrefix + "Connection: keep-alive");
  } else {
    request.Add(proxyPrefix + "Connection: close");
  }
  if (const std::string cookies = CookieLine(); !cookies.empty()) request.Add(cookies);
  if (RangeStart > 0 || RangeEnd > 0)
    request.Add("Range: bytes=" + std::to_string(RangeStart) + "-" +
                (RangeEnd >= RangeStart ? std::to_string(RangeEnd) : ""));
  if (!UserAgent.empty()) request.Add("User-Agent: " + UserAgent);
  if (sending && !MimeType.empty()) request.Add("Content-Type: " + MimeType);
  if (sending) request.Add("Content-Length: " + std::to_string(Document.Size()));
  if (expect100) request.Add("Expect: 100-continue");
  // The caller's own lines follow; the empty line ends the block.
  for (const std::string& line : Headers) request.Add(line);
  if (!request.Get(request.Count() - 1).empty()) request.Add("");
  Headers = std::move(request);

  if (useProxy) {
    TargetHost = ProxyHost;
    TargetPort = ProxyPort;
  } else {
    TargetHost = parts.Host;
    TargetPort = parts.Port;
  }
  if (Protocol == "0.9") return Headers.Get(0) + "\r\n";
  std::string headerBlock;
  for (const std::string& line : Headers) {
    headerBlock += line;
    headerBlock += "\r\n";
  }
  return headerBlock;
}

bool THttpClient::ReceiveHead(bool useProxy, ResponseHead& head) {
  ResetResponse();
  BodyFraming = THttpBodyFraming::UntilClose;
  HeaderBudget budget;
  ReceiveStatus(budget);
  if (Headers.Count() > 0) ReceiveHeaders(budget, useProxy, head);
  return !Failed();
}

void THttpClient::ReceiveStatus(HeaderBudget& budget) {
  do {
    std::string line;
    do line = ReceiveHeaderLine(budget);
    while (line.empty() && !Failed());
    if (StartsWith(UpperAscii(line.substr(0, 5)), "HTTP/")) {
      Headers.Add(line);
      ParseStatusLine(line);
      StatusLine = line;
    } else {
      // No status line: the server's bytes are all body.
      Document.Write(line + "\r\n");
      ResultCode = 0;
    }
  } while (!Failed() && ResultCode == 100);
}

void THttpClient::ReceiveHeaders(HeaderBudget& budget, bool useProxy, ResponseHead& head) {
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
    Headers.Add(header);
    const std::string upper = UpperAscii(header);
    if (StartsWith(upper, "CONTENT-LENGTH:")) {
      const std::int32_t value = ContentLengthValue(TextAfter(header, " "), lengthsAgree);
      if (lengthSeen && value != head.length) lengthsAgree = false;
      lengthSeen = true;
      head.length = value;
      if (head.length != -1 && BodyFraming == THttpBodyFraming::UntilClose) BodyFraming = THttpBodyFraming::ByLength;
    }
    if (StartsWith(upper, "CONTENT-TYPE:")) MimeType = Trim(TextAfter(header, " "));
    if (StartsWith(upper, "TRANSFER-ENCODING:") &&
        TrimView(TextAfter(upper, " ")).find("CHUNKED") != std::string_view::npos)
      BodyFraming = THttpBodyFraming::Chunked;
    const bool closes = upper.find("CLOSE") != std::string::npos;
    if (useProxy ? StartsWith(upper, "PROXY-CONNECTION:") && closes : StartsWith(upper, "CONNECTION:") && closes)
      head.closeAfter = true;
  }
  // Two different lengths leave no way to tell where the body ends, and
  // picking one may hand the caller a cut or a padded body: HTTP makes such
  // a response an error, whatever else frames it.
  if (!lengthsAgree && !Failed()) Sock->SetLastError(WsaError::ConnectionAborted);
}

bool THttpClient::ReceiveBody(const std::string& method, const ResponseHead& head, bool& reusable) {
  bool result = true;
  if (method != "HEAD" && ResultCode != 204 && ResultCode != 304) {
    switch (BodyFraming) {
    case THttpBodyFraming::UntilClose: result = ReadBodyUntilClose(); break;
    case THttpBodyFraming::ByLength: result = ReadBodyOfLength(head.length); break;
    case THttpBodyFraming::Chunked: result = ReadChunkedBody(!head.closeAfter, reusable); break;
    }
  }
  Document.SetPosition(0);
  return result;
}

bool THttpClient::SendRequest(const std::string& headerBlock, bool expect100) {
  const std::int64_t size = static_cast<std::int64_t>(Document.Size());
  auto sendBody = [this, size]() {
    // Straight from the stream's memory, in pieces an int can count.
    constexpr std::int64_t piece = 1 << 30;
    for (std::int64_t offset = 0; offset < size && !Failed(); offset += piece)
      Sock->SendBytes(Document.Memory() + offset, static_cast<int>(std::min(piece, size - offset)));
  };

  if (expect100) {
    Sock->SendText(headerBlock);
    if (Failed()) return false;
    // Wait for the interim answer. A final status that comes instead is put
    // back for the response reader and the body is not sent; when the server
    // stays silent the body goes out anyway.
    HeaderBudget budget;
    std::string line;
    do line = ReceiveHeaderLine(budget);
    while (line.empty() && !Failed());
    if (Failed()) {
      if (Sock->LastErrorCode() != WsaError::TimedOut) return false;
      Sock->ClearLastError();
    } else {
      const std::string upper = UpperAscii(line);
      const std::int32_t code = IntegerValue(TrimView(TextBefore(TrimView(TextAfter(line, " ")), " ")), 0);
      Sock->UnreadLine(line);
      if (!StartsWith(upper, "HTTP/") || code < 100 || code > 199) return true;
    }
    UploadSize = static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
    sendBody();
    return !Failed();
  }

  if (size > 0 && size < 65536) {
    std::string whole = headerBlock;
    whole.append(Document.Bytes());
    Sock->SendText(whole);
    UploadSize = static_cast<std::int32_t>(whole.size());
  } else if (size > 0) {
    Sock->SendText(headerBlock);
    UploadSize = static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
    if (!Failed()) sendBody();
  } else {
    Sock->SendText(headerBlock);
  }
  return !Failed();
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

void THttpClient::ParseStatusLine(const std::string& line) {
  const std::string_view status = TrimView(TextAfter(line, " "));
  ResultCode = IntegerValue(TrimView(TextBefore(status, " ")), 0);
  ResultString = Trim(TextAfter(status, " "));
  if (ResultString == status) ResultString.clear();
}

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
    Sock->StartSecureLayer();
    if (Failed()) return false;
  }
  ConnectedHost = TargetHost;
  ConnectedPort = TargetPort;
  return true;
}

bool THttpClient::ReadBodyUntilClose() {
  do {
    const std::string packet = Sock->ReceivePacket(Timeout);
    if (Failed()) break;
    if (static_cast<std::int64_t>(Document.Size() + packet.size()) > BodyLimit()) {
      Sock->SetLastError(WsaError::NoBufferSpace);
      break;
    }
    Document.Write(packet);
  } while (true);
  // An orderly close by the server is the end of this kind of body.
  if (Sock->LastErrorCode() == WsaError::ConnectionReset) {
    Sock->ClearLastError();
    return true;
  }
  return false;
}

bool THttpClient::ReadBodyOfLength(std::int64_t length) {
  if (length < 1) return true;
  if (static_cast<std::int64_t>(Document.Size()) + length > BodyLimit()) {
    Sock->SetLastError(WsaError::NoBufferSpace);
    return false;
  }
  DownloadSize = static_cast<std::int32_t>(length);
  Sock->ReceiveToStream(Document, Timeout, length);
  Document.Seek(0, TMemoryStream::Origin::End);
  return !Failed();
}

bool THttpClient::ReadChunkedBody(bool readTrailer, bool& reusable) {
  // Size lines and the blank lines between chunks count against the body
  // bound too, so a server cannot keep the client reading them forever.
  std::int64_t overhead = 0;
  while (true) {
    std::string line;
    do {
      line = Sock->ReceiveLine(Timeout);
      overhead += static_cast<std::int64_t>(line.size()) + 1;
      if (!Failed() &&
          (line.size() > kHttpMaxLineLength || static_cast<std::int64_t>(Document.Size()) + overhead > BodyLimit()))
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
    if (!ReadBodyOfLength(size)) break;
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
