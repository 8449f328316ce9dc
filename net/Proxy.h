#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "net/HttpRoute.h"
#include "net/HttpText.h"

// Which proxy a request takes, read the way curl, apt and the browsers
// read it: https_proxy for https, http_proxy for http, all_proxy for both,
// no_proxy for the hosts reached directly; or given on the command line.
namespace od {

struct TProxySettings {
  THttpProxy Https; // https_proxy, HTTPS_PROXY
  THttpProxy Http;  // http_proxy only: a web server may set HTTP_PROXY from a request's "Proxy:" header
  THttpProxy All;   // all_proxy, ALL_PROXY
  // Comma list of host suffixes, IP addresses or "*" reached directly.
  std::string NoProxy;
};

// %XX sequences as the bytes they stand for; anything else as it is.
std::string PercentDecoded(std::string_view text);

// Reads a proxy URL, [http://][USER[:PASS]@]HOST[:PORT] (port 1080 unless
// given, user and password percent-decoded). False, with why, for anything
// else: another scheme, a path, no host.
bool ParseProxyUrl(std::string_view text, THttpProxy& proxy, std::string& error);

// The environment's proxy settings; lookup is getenv unless a test gives
// its own. False, with why, when a variable holds no proxy URL.
using TEnvironmentLookup = std::function<const char*(const char*)>;
bool ProxySettingsFromEnvironment(TProxySettings& settings, std::string& error,
                                  const TEnvironmentLookup& lookup = nullptr);

// Whether host is one that list says to reach without a proxy.
bool NoProxyMatches(std::string_view list, std::string_view host);

// The proxy for a request to url; an empty Host for none.
THttpProxy ProxyFor(const TProxySettings& settings, const TUrlParts& url);

} // namespace od
