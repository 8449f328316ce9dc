#include "net/HttpRoute.h"

#include "base/Ascii.h"
#include "net/BlockSocket.h"

namespace od {

using namespace httptext;

THttpRoute ChooseHttpRoute(const TUrlParts& url, bool secure, const THttpProxy& proxy) {
  THttpRoute route;
  route.Secure = secure;
  route.Proxy = proxy;
  if (!proxy.Host.empty()) route.Kind = secure ? THttpRouteKind::Tunnel : THttpRouteKind::ThroughProxy;
  route.Host = route.ThroughProxy() ? proxy.Host : url.Host;
  route.Port = route.ThroughProxy() ? proxy.Port : url.Port;
  return route;
}

void AimTunnel(TTCPBlockSocket& socket, const THttpRoute& route) {
  const bool secure = route.Secure;
  socket.HTTPTunnelIP = secure ? route.Proxy.Host : std::string();
  socket.HTTPTunnelPort = secure ? route.Proxy.Port : std::string();
  socket.HTTPTunnelUser = secure ? route.Proxy.User : std::string();
  socket.HTTPTunnelPass = secure ? route.Proxy.Pass : std::string();
}

std::string RouteTarget(const THttpRoute& route, const TUrlParts& url, const std::string& hostText) {
  if (!route.ThroughProxy()) return url.Target;
  return url.Scheme + "://" + hostText + ":" + url.Port + url.Target;
}

void AddProxyAuthorization(TStringList& head, const THttpRoute& route) {
  if (route.ThroughProxy() && !route.Proxy.User.empty())
    head.Add("Proxy-Authorization: Basic " + Base64(route.Proxy.User + ":" + route.Proxy.Pass));
}

std::string ConnectionHeaderName(const THttpRoute& route) {
  return route.ThroughProxy() ? "Proxy-Connection" : "Connection";
}

bool AsksToClose(const THttpRoute& route, const std::string& upperLine) {
  return StartsWith(upperLine, UpperAscii(ConnectionHeaderName(route)) + ":") &&
         upperLine.find("CLOSE") != std::string::npos;
}

} // namespace od
