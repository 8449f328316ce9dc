#include "net/HttpRedirect.h"

#include "base/Ascii.h"
#include "net/AddressText.h"

namespace od {

namespace {

bool HasScheme(const std::string& location, std::string_view scheme) {
  return LowerAscii(location.substr(0, scheme.size() + 3)) == std::string(scheme) + "://";
}

// The path and query of a URL, without the fragment, which never leaves
// the client.
std::string Resource(const TUrlParts& url) {
  const std::string target = url.Target.substr(0, url.Target.find('#'));
  return target.empty() ? "/" : target;
}

} // namespace

bool IsRedirectStatus(std::int32_t code) noexcept {
  return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

bool IsPermanentRedirect(std::int32_t code) noexcept { return code == 301 || code == 308; }

std::string OriginText(const TUrlParts& url) {
  const std::string host = IsIPv6Text(url.Host) ? "[" + url.Host + "]" : url.Host;
  return LowerAscii(url.Scheme) + "://" + host + ":" + url.Port;
}

std::string ShownUrl(const TUrlParts& url) { return OriginText(url) + Resource(url); }

std::string ResolveLocation(const TUrlParts& from, const std::string& location) {
  const std::string value(TrimView(location));
  if (value.empty() || httptext::HasLineBreakOrNul(value)) return {};
  if (HasScheme(value, "http") || HasScheme(value, "https")) return value;
  if (value.find("://") != std::string::npos) return {};
  if (value.substr(0, 2) == "//") return LowerAscii(from.Scheme) + ":" + value;
  const std::string origin = OriginText(from);
  if (value.front() == '/') return origin + value;
  if (value.front() == '?') return origin + from.Path + value;
  const std::string& path = from.Path;
  return origin + path.substr(0, path.rfind('/') + 1) + value;
}

TRedirectVerdict JudgeRedirect(const TUrlParts& from, const TUrlParts& to) {
  if (Resource(from) != Resource(to)) return TRedirectVerdict::OtherResource;
  if (LowerAscii(from.Scheme) == "https" && LowerAscii(to.Scheme) != "https") return TRedirectVerdict::Downgrade;
  return TRedirectVerdict::Follow;
}

} // namespace od
