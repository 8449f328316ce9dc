#include "net/HttpClient.h"

#include <algorithm>
#include <climits>

#include "base/Ascii.h"

namespace od {

namespace {

std::string_view TextBefore(std::string_view text, std::string_view delimiter) {
  const size_t at = text.find(delimiter);
  return at == std::string_view::npos ? text : text.substr(0, at);
}

// The whole text, not the empty one, when the delimiter does not occur.
std::string_view TextAfter(std::string_view text, std::string_view delimiter) {
  const size_t at = text.find(delimiter);
  return at == std::string_view::npos ? text : text.substr(at + delimiter.size());
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string_view TrimRightView(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
  return text;
}

// A signed 32-bit decimal number, or fallback for anything else (overflow
// included).
std::int32_t IntegerValue(std::string_view text, std::int32_t fallback) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return fallback;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return fallback;
    value = value * 10 + (c - '0');
    if (value > static_cast<std::int64_t>(INT32_MAX) + 1) return fallback;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return fallback;
  return static_cast<std::int32_t>(value);
}

// The value of a Content-Length field: one number, or a list of numbers
// that must all be the same; -1 for anything else. consistent turns false
// when the list holds two different values.
std::int32_t ContentLengthValue(std::string_view text, bool& consistent) {
  std::int32_t value = IntegerValue(TrimView(text), -1);
  if (text.find(',') == std::string_view::npos) return value;
  bool first = true;
  while (true) {
    const size_t comma = text.find(',');
    const std::int32_t element = IntegerValue(TrimView(text.substr(0, comma)), -1);
    if (!first && element != value) consistent = false;
    value = element;
    first = false;
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return value;
}

bool IsHexNumber(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return IsHexDigit(c); });
}

// A chunk size: a hexadecimal number, 0 for anything else. Sizes above the
// body limit come back as -1 instead of wrapping.
std::int64_t ChunkSize(std::string_view text) {
  if (text.empty()) return 0;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsHexDigit(c)) return 0;
    value = value * 16 + HexValue(c);
    if (value > kHttpMaxBodySize) return -1;
  }
  return value;
}

std::string Base64(std::string_view bytes) {
  static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16 | static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += digits[v >> 6 & 63];
    out += digits[v & 63];
  }
  if (i < bytes.size()) {
    std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out += digits[v >> 18 & 63];
    out += digits[v >> 12 & 63];
    out += i + 1 < bytes.size() ? digits[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

// Line breaks or NUL in a URL would let it write request lines of its own.
bool HasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

} // namespace

TUrlParts SplitUrl(std::string_view url) {
  TUrlParts parts;
  parts.Scheme = "http";
  parts.Port = "80";
  std::string_view rest = url;
  if (url.find("://") != std::string_view::npos) {
    parts.Scheme = std::string(TextBefore(url, "://"));
    rest = TextAfter(url, "://");
  }
  const std::string scheme = UpperAscii(parts.Scheme);
  if (scheme == "HTTPS") parts.Port = "443";
  if (scheme == "FTP") parts.Port = "21";

  const size_t at = rest.find('@');
  const size_t slash = rest.find('/');
  if (at != std::string_view::npos && (slash == std::string_view::npos || at < slash)) {
    const std::string_view credentials = TextBefore(rest, "@");
    rest = TextAfter(rest, "@");
    if (credentials.find(':') != std::string_view::npos) {
      parts.User = std::string(TextBefore(credentials, ":"));
      parts.Password = std::string(TextAfter(credentials, ":"));
    } else {
      parts.User = std::string(credentials);
    }
  }

  std::string_view authority = rest;
  std::string_view tail;
  if (rest.find('/') != std::string_view::npos) {
    authority = TextBefore(rest, "/");
    tail = TextAfter(rest, "/");
  }

  if (StartsWith(authority, "[")) {
    parts.Host = std::string(TextBefore(authority, "]").substr(1));
    const std::string_view remainder = TextAfter(authority, "]");
    if (StartsWith(remainder, ":")) parts.Port = std::string(TextAfter(remainder, ":"));
  } else if (authority.find(':') != std::string_view::npos) {
    parts.Host = std::string(TextBefore(authority, ":"));
    parts.Port = std::string(TextAfter(authority, ":"));
  } else {
    parts.Host = std::string(authority);
  }

  parts.Target.assign(1, '/').append(tail);
  if (tail.find('?') != std::string_view::npos) {
    parts.Path.assign(1, '/').append(TextBefore(tail, "?"));
    parts.Query = std::string(TextAfter(tail, "?"));
  } else {
    parts.Path = parts.Target;
  }
  if (parts.Host.empty()) parts.Host = "localhost";
  return parts;
}

THttpClient::THttpClient() : Sock(std::make_unique<TTCPBlockSocket>()) {
  Sock->ConvertLineEnd = true;
  // Room for the longest header line the client accepts plus the packet that
  // completes it; the line itself is checked against the exact bound.
  Sock->MaxLineLength = static_cast<std::int32_t>(kHttpMaxLineLength + 65536 + 2);
  TargetPort = "80";
  Timeout = 90000;
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

bool THttpClient::PerformRequest(const std::string& method, const std::string& url) {
  ResultCode = 500;
  ResultString.clear();
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
  std::string user = parts.User;
  std::string password = parts.Password;
  if (user.empty()) {
    user = UserName;
    password = Password;
  }

  const bool secure = UpperAscii(parts.Scheme) == "HTTPS";
  bool tunnel = false;
  if (secure) {
    Sock->HTTPTunnelIP = ProxyHost;
    Sock->HTTPTunnelPort = ProxyPort;
    Sock->HTTPTunnelUser = ProxyUser;
    Sock->HTTPTunnelPass = ProxyPass;
    tunnel = !ProxyHost.empty();
  } else {
    Sock->HTTPTunnelIP.clear();
    Sock->HTTPTunnelPort.clear();
    Sock->HTTPTunnelUser.clear();
    Sock->HTTPTunnelPass.clear();
  }
  const bool useProxy = !ProxyHost.empty() && !tunnel;
  const bool sending = Document.Size() > 0;
  const bool expect100 = Status100 && sending && Protocol == "1.1";

  // Each line goes on top, so the finished request reads bottom-up from here.
  if (expect100) Headers.Insert(0, "Expect: 100-continue");
  if (sending) Headers.Insert(0, "Content-Length: " + std::to_string(Document.Size()));
  if (sending && !MimeType.empty()) Headers.Insert(0, "Content-Type: " + MimeType);
  if (!UserAgent.empty()) Headers.Insert(0, "User-Agent: " + UserAgent);
  if (RangeStart > 0 || RangeEnd > 0) {
    std::string range = "Range: bytes=" + std::to_string(RangeStart) + "-";
    if (RangeEnd >= RangeStart) range += std::to_string(RangeEnd);
    Headers.Insert(0, range);
  }
  std::string cookies;
  for (const std::string& cookie : Cookies) {
    if (!cookies.empty()) cookies += "; ";
    cookies += cookie;
  }
  if (!cookies.empty()) Headers.Insert(0, "Cookie: " + cookies);
  const std::string proxyPrefix = useProxy ? "Proxy-" : "";
  if (KeepAlive) {
    Headers.Insert(0, proxyPrefix + "Connection: keep-alive");
    Headers.Insert(0, "Keep-Alive: " + std::to_string(KeepAliveTimeout));
  } else {
    Headers.Insert(0, proxyPrefix + "Connection: close");
  }
  if (!user.empty()) Headers.Insert(0, "Authorization: Basic " + Base64(user + ":" + password));
  if (useProxy && !ProxyUser.empty())
    Headers.Insert(0, "Proxy-Authorization: Basic " + Base64(ProxyUser + ":" + ProxyPass));
  const std::string hostText = IsIPv6Text(parts.Host) ? "[" + parts.Host + "]" : parts.Host;
  if (AddPortNumberToHost && parts.Port != "80")
    Headers.Insert(0, "Host: " + hostText + ":" + parts.Port);
  else
    Headers.Insert(0, "Host: " + hostText);
  std::string target = parts.Target;
  if (useProxy) target = parts.Scheme + "://" + hostText + ":" + parts.Port + target;
  if (target == "/*") target = "*";
  if (Protocol == "0.9")
    Headers.Insert(0, UpperAscii(method) + " " + target);
  else
    Headers.Insert(0, UpperAscii(method) + " " + target + " HTTP/" + Protocol);

  if (useProxy) {
    TargetHost = ProxyHost;
    TargetPort = ProxyPort;
  } else {
    TargetHost = parts.Host;
    TargetPort = parts.Port;
  }
  if (!Headers.Get(Headers.Count() - 1).empty()) Headers.Add("");

  std::string headerBlock;
  if (Protocol == "0.9") {
    headerBlock = Headers.Get(0) + "\r\n";
  } else {
    for (const std::string& line : Headers) {
      headerBlock += line;
      headerBlock += "\r\n";
    }
  }

  if (!EnsureConnection(secure)) {
    ConnectedHost.clear();
    ConnectedPort.clear();
    return false;
  }
  Document.SetPosition(0);
  if (!SendRequest(headerBlock, expect100)) {
    // What the server has seen of this request is unknown: never reuse.
    ConnectedHost.clear();
    ConnectedPort.clear();
    return false;
  }

  ResetResponse();
  std::int32_t length = -1;
  BodyFraming = THttpBodyFraming::UntilClose;
  HeaderBudget budget;

  do {
    std::string line;
    do line = ReceiveHeaderLine(budget);
    while (line.empty() && !Failed());
    if (StartsWith(UpperAscii(line.substr(0, 5)), "HTTP/")) {
      Headers.Add(line);
      ParseStatusLine(line);
    } else {
      // No status line: the server's bytes are all body.
      Document.Write(line + "\r\n");
      ResultCode = 0;
    }
  } while (!Failed() && ResultCode == 100);

  bool closeAfter = Protocol != "1.1";

  if (Headers.Count() > 0) {
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
        if (lengthSeen && value != length) lengthsAgree = false;
        lengthSeen = true;
        length = value;
        if (length != -1 && BodyFraming == THttpBodyFraming::UntilClose) BodyFraming = THttpBodyFraming::ByLength;
      }
      if (StartsWith(upper, "CONTENT-TYPE:")) MimeType = Trim(TextAfter(header, " "));
      if (StartsWith(upper, "TRANSFER-ENCODING:") &&
          TrimView(TextAfter(upper, " ")).find("CHUNKED") != std::string_view::npos)
        BodyFraming = THttpBodyFraming::Chunked;
      if (useProxy) {
        if (StartsWith(upper, "PROXY-CONNECTION:") && upper.find("CLOSE") != std::string::npos) closeAfter = true;
      } else if (StartsWith(upper, "CONNECTION:") && upper.find("CLOSE") != std::string::npos) {
        closeAfter = true;
      }
    }
    // Two different lengths leave no way to tell where the body ends, and
    // picking one may hand the caller a cut or a padded body: HTTP makes such
    // a response an error, whatever else frames it.
    if (!lengthsAgree && !Failed()) Sock->SetLastError(WsaError::ConnectionAborted);
  }

  bool result = !Failed();
  if (!result) {
    ConnectedHost.clear();
    ConnectedPort.clear();
    return false;
  }

  bool reusable = true;
  if (method != "HEAD" && ResultCode != 204 && ResultCode != 304) {
    switch (BodyFraming) {
    case THttpBodyFraming::UntilClose: result = ReadBodyUntilClose(); break;
    case THttpBodyFraming::ByLength: result = ReadBodyOfLength(length); break;
    case THttpBodyFraming::Chunked: result = ReadChunkedBody(!closeAfter, reusable); break;
    }
  }
  Document.SetPosition(0);

  if (closeAfter) {
    Sock->CloseConnection();
    ConnectedHost.clear();
    ConnectedPort.clear();
  } else if (!result || !reusable) {
    // The rest of a broken body may still arrive: this connection cannot
    // carry another exchange.
    ConnectedHost.clear();
    ConnectedPort.clear();
  }
  CollectCookies();
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
    const std::int64_t size = ChunkSize(sizeText);
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

bool HttpGetLines(const std::string& url, TStringList& lines) {
  std::string error;
  return HttpGetLines(url, lines, error);
}

bool HttpGetLines(const std::string& url, TStringList& lines, std::string& error) {
  THttpClient client;
  client.MaxBodySize = kHttpGetLinesMaxBody;
  const bool result = client.PerformRequest("GET", url);
  if (result) {
    lines.LoadFromStream(client.Document);
  } else {
    error = client.Sock->LastErrorText();
    if (error.empty()) error = "error " + std::to_string(client.Sock->LastErrorCode());
  }
  return result;
}

THttpGetResult HttpGetLines(const std::string& url, TStringList& lines, const THttpGetOptions& options) {
  THttpClient client;
  client.MaxBodySize = kHttpGetLinesMaxBody;
  client.Timeout = options.Timeouts.Wait;
  client.RequestDeadline = options.Timeouts.Request;
  THttpGetResult result;
  result.Ok = client.PerformRequest("GET", url);
  result.ResultCode = client.ResultCode;
  result.StatusLine = client.ResultString;
  if (result.Ok) {
    lines.LoadFromStream(client.Document);
  } else {
    result.ErrorCode = client.Sock->LastErrorCode();
    result.Error = client.Sock->LastErrorText();
    if (result.Error.empty()) result.Error = "error " + std::to_string(result.ErrorCode);
  }
  return result;
}

} // namespace od
