#pragma once

#include <string>
#include <string_view>

// Character tests and case mapping for protocol and SQL text. They look at
// ASCII only: bytes of 0x80 and above are never letters or digits here, and
// the C library's locale never changes the answer.
namespace od {

constexpr bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool IsUpperAscii(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool IsLowerAscii(char c) noexcept { return c >= 'a' && c <= 'z'; }
constexpr bool IsAlpha(char c) noexcept { return IsUpperAscii(c) || IsLowerAscii(c); }
constexpr bool IsAlnum(char c) noexcept { return IsAlpha(c) || IsDigit(c); }
constexpr bool IsHexDigit(char c) noexcept { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr int HexValue(char c) noexcept {
  return IsDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}
constexpr char ToUpperAscii(char c) noexcept { return IsLowerAscii(c) ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ToLowerAscii(char c) noexcept { return IsUpperAscii(c) ? static_cast<char>(c - 'A' + 'a') : c; }
// Blank in the sense of "trim": every byte from 0 to 32.
constexpr bool IsBlankOrControl(char c) noexcept { return static_cast<unsigned char>(c) <= 32; }

std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) noexcept;
// Removes bytes 0..32 from both ends.
std::string_view TrimView(std::string_view text) noexcept;
std::string Trim(std::string_view text);

} // namespace od
