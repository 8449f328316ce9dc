#include "net/HttpText.h"

#include <algorithm>
#include <climits>

#include "base/Ascii.h"

namespace od {

namespace httptext {

std::string_view TextBefore(std::string_view text, std::string_view delimiter) {
  const size_t at = text.find(delimiter);
  return at == std::string_view::npos ? text : text.substr(0, at);
}

std::string_view TextAfter(std::string_view text, std::string_view delimiter) {
  const size_t at = text.find(delimiter);
  return at == std::string_view::npos ? text : text.substr(at + delimiter.size());
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string_view TrimRightView(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
  return text;
}

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

std::int64_t ChunkSize(std::string_view text, std::int64_t limit) {
  if (text.empty()) return 0;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsHexDigit(c)) return 0;
    value = value * 16 + HexValue(c);
    if (value > limit) return -1;
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

bool HasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

} // namespace httptext

using namespace httptext;

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

} // namespace od
