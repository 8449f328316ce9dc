#include "net/Proxy.h"

#include <cstdlib>

#include "base/Ascii.h"
#include "net/AddressText.h"

namespace od {

namespace {

bool ValidPortText(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  int value = 0;
  for (const char c : port) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= 65535;
}

// The first of the variables that is set and not empty.
const char* FirstSet(const TEnvironmentLookup& lookup, std::initializer_list<const char*> names, const char*& name) {
  for (const char* candidate : names) {
    const char* value = lookup(candidate);
    if (value != nullptr && *value != '\0') {
      name = candidate;
      return value;
    }
  }
  return nullptr;
}

bool ReadVariable(const TEnvironmentLookup& lookup, std::initializer_list<const char*> names, THttpProxy& proxy,
                  std::string& error) {
  const char* name = nullptr;
  const char* value = FirstSet(lookup, names, name);
  if (value == nullptr) return true;
  std::string why;
  if (ParseProxyUrl(value, proxy, why)) return true;
  error = std::string(name) + ": " + why;
  return false;
}

} // namespace

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool ParseProxyUrl(std::string_view text, THttpProxy& proxy, std::string& error) {
  proxy = {};
  std::string_view rest = text;
  if (const size_t scheme = rest.find("://"); scheme != std::string_view::npos) {
    if (LowerAscii(std::string(rest.substr(0, scheme))) != "http") {
      error = "only an http:// proxy is supported, not '" + std::string(rest.substr(0, scheme)) + "://'";
      return false;
    }
    rest.remove_prefix(scheme + 3);
  }
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view credentials = rest.substr(0, at);
    const size_t colon = credentials.find(':');
    proxy.User = PercentDecoded(credentials.substr(0, colon));
    if (colon != std::string_view::npos) proxy.Pass = PercentDecoded(credentials.substr(colon + 1));
    rest.remove_prefix(at + 1);
  }
  std::string_view port = "1080";
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) rest = {};
    proxy.Host = std::string(rest.substr(1, close == std::string_view::npos ? 0 : close - 1));
    if (close != std::string_view::npos && close + 1 < rest.size()) {
      if (rest[close + 1] != ':') proxy.Host.clear();
      port = rest.substr(close + 2);
    }
  } else {
    const size_t colon = rest.find(':');
    proxy.Host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) port = rest.substr(colon + 1);
  }
  bool hostOk = !proxy.Host.empty();
  for (const char c : proxy.Host)
    if (!IsAlnum(c) && c != '.' && c != '-' && c != '_' && c != ':') hostOk = false;
  if (!hostOk || !ValidPortText(port)) {
    proxy = {};
    error = "wants a proxy as [http://][USER:PASSWORD@]HOST[:PORT]";
    return false;
  }
  proxy.Port = std::string(port);
  return true;
}

bool ProxySettingsFromEnvironment(TProxySettings& settings, std::string& error, const TEnvironmentLookup& lookup) {
  const TEnvironmentLookup get = lookup ? lookup : [](const char* name) { return std::getenv(name); };
  settings = {};
  const char* name = nullptr;
  if (const char* list = FirstSet(get, {"no_proxy", "NO_PROXY"}, name)) settings.NoProxy = list;
  return ReadVariable(get, {"https_proxy", "HTTPS_PROXY"}, settings.Https, error) &&
         ReadVariable(get, {"http_proxy"}, settings.Http, error) &&
         ReadVariable(get, {"all_proxy", "ALL_PROXY"}, settings.All, error);
}

bool NoProxyMatches(std::string_view list, std::string_view host) {
  const std::string name = LowerAscii(std::string(host));
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    std::string entry = LowerAscii(std::string(TrimView(list.substr(start, end - start))));
    start = end + 1;
    if (entry == "*") return true;
    if (entry.size() > 1 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
    while (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) continue;
    if (IsIPv4Text(entry) || IsIPv6Text(entry)) {
      if (entry == name) return true;
    } else if (name == entry ||
               (name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
                name[name.size() - entry.size() - 1] == '.')) {
      return true;
    }
  }
  return false;
}

THttpProxy ProxyFor(const TProxySettings& settings, const TUrlParts& url) {
  if (NoProxyMatches(settings.NoProxy, url.Host)) return {};
  const bool secure = LowerAscii(url.Scheme) == "https";
  const THttpProxy& own = secure ? settings.Https : settings.Http;
  return own.Host.empty() ? settings.All : own;
}

} // namespace od
