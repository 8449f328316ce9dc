#include "text/Cp1251.h"

#include "base/Ascii.h"
#include "text/Iconv.h"

#include <stdexcept>

namespace od {

namespace {

constexpr TIconvReplacement kQuestionPerCharacter{"?", TIconvReplacement::TSkip::Utf8Character};
constexpr TIconvReplacement kQuestionPerByte{"?", TIconvReplacement::TSkip::Byte};

// Re-encodes text between single-byte code pages; a byte that has no
// counterpart becomes '?'. A code page iconv does not offer leaves the
// bytes as they are: the text then reads wrongly but is not lost.
std::string Recode(std::string_view text, const char* from, const char* to) {
  try {
    TIconv converter(to, from);
    return converter.Convert(text, kQuestionPerByte);
  } catch (const std::runtime_error&) {
    return std::string(text);
  }
}

} // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
  return TIconv("CP1251", "UTF-8").Convert(utf8, kQuestionPerCharacter);
}

std::string ToCp1251(std::string_view text, const char* charset) {
  if (EqualsIgnoreCaseAscii(charset, "UTF-8") || EqualsIgnoreCaseAscii(charset, "UTF8")) return Utf8ToCp1251(text);
  return TIconv("CP1251", charset).Convert(text, kQuestionPerByte);
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  return TIconv("UTF-8", "CP1251").Convert(cp1251, {"\xEF\xBF\xBD", TIconvReplacement::TSkip::Byte});
}

std::string Koi8ToCp1251(std::string_view text) { return Recode(text, "KOI8-R", "CP1251"); }
std::string Cp1251ToKoi8(std::string_view text) { return Recode(text, "CP1251", "KOI8-R"); }

} // namespace od
