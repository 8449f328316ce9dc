#include "run/OrderUrl.h"

#include "base/Ascii.h"

#include <cstdio>

namespace od {

namespace {

const char kOrderPath[] = "/server_scripts/get_zakaz_dt.php?zakaz_id=";

bool IsQueryByte(unsigned char byte) {
  // Unreserved characters and the delimiters that mean nothing inside one
  // query value; '&', '+', '=' and ';' would split or change it.
  if (IsAlnum(static_cast<char>(byte))) return true;
  switch (byte) {
  case '-':
  case '.':
  case '_':
  case '~':
  case '!':
  case '$':
  case '\'':
  case '(':
  case ')':
  case '*':
  case ',':
  case ':':
  case '@':
  case '/':
  case '?': return true;
  default: return false;
  }
}

} // namespace

std::string OrderQueryValue(const std::string& order) {
  std::string value;
  value.reserve(order.size());
  for (const char c : order) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsQueryByte(byte)) {
      value += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      value += escaped;
    }
  }
  return value;
}

std::string OrderUrl(const std::string& serviceHost, const std::string& order) {
  const bool hasScheme = serviceHost.find("://") != std::string::npos;
  return (hasScheme ? serviceHost : "http://" + serviceHost) + kOrderPath + OrderQueryValue(order);
}

std::string ServiceOfOrderUrl(const std::string& url) {
  const size_t path = url.find(kOrderPath);
  return path == std::string::npos ? std::string() : url.substr(0, path);
}

} // namespace od
