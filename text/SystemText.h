#pragma once

#include <exception>
#include <string>
#include <string_view>

// Text that the system hands the program (the C library's messages,
// dlerror(), the client library's rendering of an operating-system error, a
// file name inside a message) is in the code set of the current C locale,
// UTF-8 on this platform; everything the program holds is code page 1251.
// These turn such text into the program's text where it enters.
namespace od {

// The code set of the current C locale (nl_langinfo(CODESET)), such as
// "UTF-8" or "ANSI_X3.4-1968".
std::string LocaleCodeset();

// Text written by the system in the locale's code set, as code page 1251.
std::string SystemTextToCp1251(std::string_view text);

// A line that may hold both system bytes (a file name) and text already in
// code page 1251 (a message the database itself raised). Only a UTF-8
// locale lets the two be told apart: code page 1251 letters never form
// well-formed UTF-8, so a line that does is system text and is converted;
// any other line, and any line under another code set, is left alone.
std::string MixedTextToCp1251(std::string_view text);

// Whether every byte is below 0x80.
bool IsAscii(std::string_view text) noexcept;
// Well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF.
bool IsWellFormedUtf8(std::string_view text) noexcept;

// The message of any exception as the program's text: the program's own
// exceptions carry code page 1251 already; another library's words its
// what() in the locale's code set.
std::string MessageOf(const std::exception& e);

// The other way, for what the program writes to its terminal: UTF-8 text in
// the locale's code set, one '?' for each character the set lacks (and for
// each malformed lead byte with the continuation bytes after it). Under a
// locale whose code set is named "UTF-8" or "utf8", and under one iconv
// cannot convert to, the text is returned as it is.
std::string Utf8ToSystemText(const std::string& utf8);

} // namespace od
