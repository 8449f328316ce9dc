#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The texts of HTTP: URLs, numbers in header fields and chunk sizes, and
// the small pieces of text work the client does on them.
namespace od {

struct TUrlParts {
  std::string Scheme;
  std::string User;
  std::string Password;
  std::string Host;
  std::string Port;
  std::string Path;
  std::string Query;
  // "/" and everything after the authority, query and fragment included.
  std::string Target;
};

TUrlParts SplitUrl(std::string_view url);

// The client's own text helpers, apart from names the rest of the program
// may give its own.
namespace httptext {

// The text before the first delimiter; the whole text when there is none.
std::string_view TextBefore(std::string_view text, std::string_view delimiter);
// The whole text, not the empty one, when the delimiter does not occur.
std::string_view TextAfter(std::string_view text, std::string_view delimiter);
bool StartsWith(std::string_view text, std::string_view prefix);
std::string_view TrimRightView(std::string_view text);

// A signed 32-bit decimal number, or fallback for anything else (overflow
// included).
std::int32_t IntegerValue(std::string_view text, std::int32_t fallback);
// The value of a Content-Length field: one number, or a list of numbers
// that must all be the same; -1 for anything else. consistent turns false
// when the list holds two different values.
std::int32_t ContentLengthValue(std::string_view text, bool& consistent);
bool IsHexNumber(std::string_view text);
// A chunk size: a hexadecimal number, 0 for anything else. Sizes above
// limit come back as -1 instead of wrapping.
std::int64_t ChunkSize(std::string_view text, std::int64_t limit);
std::string Base64(std::string_view bytes);
// Line breaks or NUL in a URL would let it write request lines of its own.
bool HasLineBreakOrNul(std::string_view text);

} // namespace httptext

} // namespace od
