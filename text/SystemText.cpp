#include "text/SystemText.h"

#include "base/Ascii.h"
#include "base/Exception.h"
#include "text/Cp1251.h"
#include "text/Iconv.h"

#include <langinfo.h>

#include <exception>
#include <stdexcept>
#include <string_view>

namespace od {

namespace {

bool IsUtf8Codeset(const std::string& codeset) {
  return EqualsIgnoreCaseAscii(codeset, "UTF-8") || EqualsIgnoreCaseAscii(codeset, "UTF8");
}

} // namespace

bool IsAscii(std::string_view text) noexcept {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool IsWellFormedUtf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;  // no overlong forms
      if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;  // no overlong forms
      if (lead == 0xF4) high = 0x8F; // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i)
      if (p[i] < 0x80 || p[i] > 0xBF) return false;
    p += length;
  }
  return true;
}

std::string LocaleCodeset() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && *codeset != '\0' ? std::string(codeset) : std::string("ANSI_X3.4-1968");
}

std::string SystemTextToCp1251(std::string_view text) {
  // Plain ASCII reads the same in every code set the C library offers here.
  if (IsAscii(text)) return std::string(text);
  try {
    return ToCp1251(text, LocaleCodeset().c_str());
  } catch (const std::exception&) {
    // A code set iconv does not know: the bytes as they are beat losing the
    // message that carries them.
    return std::string(text);
  }
}

std::string MixedTextToCp1251(std::string_view text) {
  if (IsAscii(text) || !IsUtf8Codeset(LocaleCodeset()) || !IsWellFormedUtf8(text)) return std::string(text);
  return Utf8ToCp1251(text);
}

std::string MessageOf(const std::exception& e) {
  const auto* own = dynamic_cast<const Exception*>(&e);
  return own != nullptr ? own->Message() : SystemTextToCp1251(e.what());
}

std::string Utf8ToSystemText(const std::string& utf8) {
  const char* codeset = nl_langinfo(CODESET);
  const std::string_view set = codeset != nullptr ? codeset : "";
  if (set == "UTF-8" || set == "utf8") return utf8;
  try {
    TIconv converter(codeset != nullptr ? codeset : "", "UTF-8");
    return converter.Convert(utf8, {"?", TIconvReplacement::TSkip::Utf8Run});
  } catch (const std::runtime_error&) {
    return utf8;
  }
}

} // namespace od
