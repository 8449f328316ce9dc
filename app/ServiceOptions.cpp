#include "app/ServiceOptions.h"

#include "app/Options.h"
#include "base/Ascii.h"
#include "net/AddressText.h"
#include "net/Proxy.h"
#include "net/TlsLayer.h"
#include "text/Defuse.h"

namespace od {

namespace {

constexpr const char* kServiceForms = "https://HOST[:PORT][/PREFIX], http://HOST[:PORT][/PREFIX] or HOST[:PORT]";

// A path prefix as a URL may carry it before the order script's path: no
// query, fragment, blanks or control bytes.
bool ValidPrefix(std::string_view prefix) {
  for (const char c : prefix)
    if (!IsAlnum(c) && std::string_view("/-._~!$&'()*+,;=:@%").find(c) == std::string_view::npos) return false;
  return prefix.find("//") == std::string_view::npos;
}

bool IsLoopbackHost(std::string host) {
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  return LowerAscii(host) == "localhost" || host == "::1" || (IsIPv4Text(host) && host.rfind("127.", 0) == 0);
}

std::string Refused(const std::string& value) {
  return "option '--service' wants " + std::string(kServiceForms) + ", not '" + Defused(WithoutCredentials(value)) +
         "'";
}

} // namespace

std::string WithoutCredentials(const std::string& value) {
  const size_t scheme = value.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = value.find('/', start);
  const size_t at = value.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < start) return value;
  return value.substr(0, start) + "***@" + value.substr(at + 1);
}

std::optional<std::string> TakeServiceUrl(TStartup& startup, const std::string& value) {
  const size_t scheme = value.find("://");
  const std::string name = LowerAscii(value.substr(0, scheme));
  if (name != "http" && name != "https") return Refused(value);
  std::string rest = value.substr(scheme + 3);
  std::string prefix;
  if (const size_t slash = rest.find('/'); slash != std::string::npos) {
    prefix = rest.substr(slash);
    rest.erase(slash);
  }
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  std::string user;
  std::string password;
  if (const size_t at = rest.rfind('@'); at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    const size_t colon = credentials.find(':');
    user = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string::npos) password = PercentDecoded(credentials.substr(colon + 1));
    rest.erase(0, at + 1);
    if (user.empty() || !ValidCredential(user) || (!password.empty() && !ValidCredential(password)))
      return Refused(value);
  }
  if (!ValidServiceHost(rest) || !ValidPrefix(prefix)) return Refused(value);
  const std::string host = rest.substr(0, rest.front() == '[' ? rest.find(']') + 1 : rest.find(':'));
  if (!user.empty() && name != "https" && !IsLoopbackHost(host))
    return "option '--service' sends a user and password only over https or to this machine: give https://" +
           Defused(WithoutCredentials(value).substr(scheme + 3));
  startup.Settings.ServiceHost = name + "://" + rest + prefix;
  startup.Settings.ServiceUser = user;
  startup.Settings.ServicePassword = password;
  return std::nullopt;
}

std::optional<std::string> TakeCaFile(TStartup& startup, const std::string& value) {
  std::string error;
  if (!CheckCaFile(value, error)) return "option '--ca-file' wants a PEM file of certificates: " + Defused(error);
  startup.Settings.CaFile = value;
  return std::nullopt;
}

std::optional<std::string> TakeProxy(TStartup& startup, const std::string& value) {
  THttpProxy proxy;
  std::string error;
  if (!ParseProxyUrl(value, proxy, error))
    return "option '--proxy' wants [http://][USER:PASSWORD@]HOST[:PORT], not '" + Defused(WithoutCredentials(value)) +
           "'";
  startup.Settings.Proxy.Https = proxy;
  startup.Settings.Proxy.Http = proxy;
  startup.Settings.Proxy.All = proxy;
  startup.Settings.ProxyGiven = true;
  return std::nullopt;
}

std::optional<std::string> TakeNoProxy(TStartup& startup, const std::string& value) {
  startup.Settings.Proxy.NoProxy = value;
  startup.Settings.NoProxyGiven = true;
  return std::nullopt;
}

std::optional<std::string> TakeProxyEnvironment(TStartup& startup, const TEnvironment& environment) {
  TRunSettings& settings = startup.Settings;
  if (settings.ProxyGiven && settings.NoProxyGiven) return std::nullopt;
  TProxySettings fromEnvironment;
  std::string error;
  const bool read = ProxySettingsFromEnvironment(fromEnvironment, error, environment);
  // A bad variable matters only where it would be used.
  if (!read && !settings.ProxyGiven) return Defused(WithoutCredentials(error));
  if (!settings.ProxyGiven) {
    settings.Proxy.Https = fromEnvironment.Https;
    settings.Proxy.Http = fromEnvironment.Http;
    settings.Proxy.All = fromEnvironment.All;
  }
  if (!settings.NoProxyGiven) settings.Proxy.NoProxy = fromEnvironment.NoProxy;
  return std::nullopt;
}

} // namespace od
