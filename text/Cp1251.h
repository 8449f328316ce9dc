#pragma once

#include <string>
#include <string_view>

// Conversions at the edges where the program's code page 1251 text meets
// other character sets: Unicode for the widgets and the locale items of the
// C library, KOI8-R for the database connections that use it.
namespace od {

// UTF-8 to code page 1251; characters the code page lacks become '?'.
std::string Utf8ToCp1251(std::string_view utf8);
// Code page 1251 to UTF-8. Every byte has a meaning except 0x98, which
// becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view cp1251);

// Text in the named character set (an iconv name, such as a locale's
// codeset) to code page 1251; characters the code page lacks, and bytes that
// are malformed in the source set, become '?'.
std::string ToCp1251(std::string_view text, const char* charset);

// Code page 1251 text to and from KOI8-R (the connections that use it); a
// character the other page lacks becomes '?'.
std::string Cp1251ToKoi8(std::string_view text);
std::string Koi8ToCp1251(std::string_view text);

// Russian literals are written in the sources as UTF-8; this turns one into
// the program's text once.
inline std::string Cp(std::string_view utf8) { return Utf8ToCp1251(utf8); }

} // namespace od
