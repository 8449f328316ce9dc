#include "text/CaseFold.h"

#include <array>
#include <exception>
#include <locale.h>
#include <string>
#include <wctype.h>

#include "base/Ascii.h"
#include "text/Cp1251.h"

namespace od {
namespace {

char32_t DecodeUtf8(const std::string& s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return b0;
  int n = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
  if (s.size() != static_cast<size_t>(n) + 1) return 0;
  char32_t cp = b0 & (0x3F >> n);
  for (int i = 1; i <= n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  return cp;
}

std::string EncodeUtf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// Bytes below 0x80 fold as ASCII. Each byte above goes through Unicode: its
// character's capital, when the code page has one, is its folded byte.
std::array<char, 256> BuildUpperTable() {
  std::array<char, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = ToUpperAscii(static_cast<char>(b));
  locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (unicode == static_cast<locale_t>(nullptr)) return table;
  try {
    for (int b = 0x80; b < 256; ++b) {
      const char32_t cp = DecodeUtf8(Cp1251ToUtf8(std::string(1, static_cast<char>(b))));
      if (cp == 0 || cp == 0xFFFD) continue;
      const auto upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), unicode));
      if (upper == cp || upper > 0xFFFF) continue;
      const std::string back = Utf8ToCp1251(EncodeUtf8(upper));
      if (back.size() == 1 && back != "?") table[b] = back[0];
    }
  } catch (const std::exception&) {
    // Without the code page converter only ASCII letters fold.
  }
  freelocale(unicode);
  return table;
}

const std::array<char, 256>& UpperTable() {
  static const std::array<char, 256> table = BuildUpperTable();
  return table;
}

bool EqualFolded(const char* a, const char* b, size_t n) noexcept {
  const auto& table = UpperTable();
  for (size_t i = 0; i < n; ++i)
    if (table[static_cast<unsigned char>(a[i])] != table[static_cast<unsigned char>(b[i])]) return false;
  return true;
}

} // namespace

char UpperCp1251(char c) noexcept { return UpperTable()[static_cast<unsigned char>(c)]; }

bool EqualsIgnoreCaseCp1251(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && EqualFolded(a.data(), b.data(), a.size());
}

bool StartsWithIgnoreCaseCp1251(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && EqualFolded(text.data(), prefix.data(), prefix.size());
}

} // namespace od
