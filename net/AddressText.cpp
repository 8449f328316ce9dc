#include "net/AddressText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/Ascii.h"

namespace od {

socklen_t AddressLength(const TVarSin& address) {
  switch (address.sa.sa_family) {
  case AF_INET: return sizeof(sockaddr_in);
  case AF_INET6: return sizeof(sockaddr_in6);
  default: return 0;
  }
}

std::string NumericAddress(const TVarSin& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.sa.sa_family == AF_INET)
    inet_ntop(AF_INET, &address.in4.sin_addr, text, sizeof(text));
  else if (address.sa.sa_family == AF_INET6)
    inet_ntop(AF_INET6, &address.in6.sin6_addr, text, sizeof(text));
  return text;
}

int PortNumber(const TVarSin& address) {
  if (address.sa.sa_family == AF_INET) return ntohs(address.in4.sin_port);
  if (address.sa.sa_family == AF_INET6) return ntohs(address.in6.sin6_port);
  return 0;
}

bool IsReservedInvalidName(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  constexpr std::string_view suffix = ".invalid";
  if (EqualsIgnoreCaseAscii(host, "invalid")) return true;
  return host.size() > suffix.size() && EqualsIgnoreCaseAscii(host.substr(host.size() - suffix.size()), suffix);
}

bool IsOutOfRangePort(std::string_view port) {
  if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return IsDigit(c); })) return false;
  std::uint32_t value = 0;
  for (char c : port) {
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return true;
  }
  return false;
}

bool IsIPv4Text(std::string_view text) {
  int parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view part = TrimView(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (++parts > 4 || part.empty()) return false;
    int value = 0;
    for (char c : part) {
      if (!IsDigit(c)) return false;
      value = value * 10 + (c - '0');
      if (value > 255) return false;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

namespace {

bool IsHexWord(std::string_view part) {
  if (part.empty()) return false;
  std::uint32_t value = 0;
  for (char c : part) {
    if (!IsHexDigit(c)) return false;
    value = value * 16 + static_cast<std::uint32_t>(HexValue(c));
    if (value > 0xFFFF) return false;
  }
  return true;
}

} // namespace

bool IsIPv6Text(std::string_view text) {
  if (text == "::") return true;
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t colon = text.find(':', start);
    parts.push_back(TrimView(text.substr(start, colon == std::string_view::npos ? colon : colon - start)));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  bool zeroRun = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    const bool last = i + 1 == parts.size();
    if (part.empty()) {
      if (last) return false;
      if (i == 0) continue;
      if (zeroRun) return false;
      zeroRun = true;
      continue;
    }
    if (i >= 8) return false;
    if (last) {
      const size_t zone = part.find('%');
      if (zone != std::string_view::npos) {
        if (!IsHexWord(part.substr(zone + 1))) return false;
        part = part.substr(0, zone);
      }
    }
    if (!IsHexWord(part)) return false;
  }
  // A single word with no "::" is a plain number, not an address.
  return !(parts.size() == 1 && !zeroRun);
}

} // namespace od
