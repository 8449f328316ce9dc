#pragma once

#include <string>

#include "net/HttpText.h"
#include "text/StringList.h"

// The way a request takes to its server: straight there, to a proxy that is
// handed the whole URL, or through a proxy's tunnel; and the header lines
// that only a proxy reads.
namespace od {

class TTCPBlockSocket;

// The proxy a client is told to use; an empty Host means none.
struct THttpProxy {
  std::string Host;
  std::string Port;
  std::string User;
  std::string Pass;
};

enum class THttpRouteKind {
  Direct,       // to the URL's host
  ThroughProxy, // to the proxy, with the whole URL as the request's target
  Tunnel,       // to the URL's host, through the proxy's tunnel (secure requests)
};

struct THttpRoute {
  THttpRouteKind Kind = THttpRouteKind::Direct;
  bool Secure = false;
  THttpProxy Proxy;
  // Where the connection goes: the proxy for ThroughProxy, the URL's host
  // otherwise.
  std::string Host;
  std::string Port;

  bool ThroughProxy() const noexcept { return Kind == THttpRouteKind::ThroughProxy; }
};

// A secure request reaches its host through the proxy's tunnel; a plain one
// goes to the proxy itself.
THttpRoute ChooseHttpRoute(const TUrlParts& url, bool secure, const THttpProxy& proxy);

// Sets the socket's tunnel to the proxy for a secure request and clears it
// for a plain one, which never goes through a tunnel.
void AimTunnel(TTCPBlockSocket& socket, const THttpRoute& route);

// The request line's target: the URL's own, or the absolute URL for a proxy,
// which has to know where to forward the request.
std::string RouteTarget(const THttpRoute& route, const TUrlParts& url, const std::string& hostText);

// The proxy's credentials, for a proxy that reads the request itself; a
// tunnel's travel with the tunnel's own request.
void AddProxyAuthorization(TStringList& head, const THttpRoute& route);

// The header that says whether the connection stays open: a proxy reads its
// own and passes Connection on to the server.
std::string ConnectionHeaderName(const THttpRoute& route);

// Whether a response header line, upper-cased, asks to close the connection
// after this exchange: the proxy's own header when the proxy answers.
bool AsksToClose(const THttpRoute& route, const std::string& upperLine);

} // namespace od
