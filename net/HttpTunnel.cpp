#include "net/BlockSocket.h"
#include "net/HttpMessage.h"
#include "net/HttpText.h"

// The HTTP tunnel: a CONNECT to the proxy, after which the connection is
// the way to the server itself, and the secure session is the server's.
namespace od {

namespace {

// A proxy's answer to CONNECT is a status line and a few header lines;
// more than this is not an answer to it.
constexpr int kTunnelMaxHeaderLines = 100;

std::string Authority(const std::string& host, const std::string& port) {
  return (IsIPv6Text(host) ? "[" + host + "]" : host) + ":" + port;
}

} // namespace

void TTCPBlockSocket::ConnectThroughTunnel(const std::string& host, const std::string& port) {
  PlainConnect(HTTPTunnelIP, HTTPTunnelPort);
  if (lastError_ != 0) return;
  const std::string authority = Authority(host, port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!HTTPTunnelUser.empty())
    request += "Proxy-Authorization: Basic " + httptext::Base64(HTTPTunnelUser + ":" + HTTPTunnelPass) + "\r\n";
  request += "\r\n";
  SendText(request);
  if (lastError_ != 0) return;
  const int wait = ConnectTimeout >= 0 ? ConnectTimeout : HTTPTunnelTimeout;
  std::string status;
  do status = ReceiveLine(wait);
  while (status.empty() && lastError_ == 0);
  int lines = 0;
  for (std::string line = status; !line.empty() && lastError_ == 0 && lines <= kTunnelMaxHeaderLines; ++lines)
    line = ReceiveLine(wait);
  if (lastError_ != 0) return;
  std::int32_t code = 0;
  std::string reason;
  ParseStatusLine(status, code, reason);
  ReadAhead.clear();
  if (lines > kTunnelMaxHeaderLines || code < 200 || code > 299 || !httptext::StartsWith(status, "HTTP/")) {
    AbortConnection();
    lastError_ = WsaError::TunnelRefused;
    lastErrorText_ = "the proxy refused the tunnel: " + status;
    ReportError();
    lastErrorText_ = "the proxy refused the tunnel: " + status;
  }
}

} // namespace od
