#include "text/Defuse.h"

#include "text/SystemText.h"

#include <cstdio>

namespace od {

namespace {

bool IsC0Control(unsigned char byte) noexcept { return byte < 0x20 || byte == 0x7F; }

bool StartsControlString(unsigned char byte) noexcept {
  switch (byte) {
  case 0x90:
  case 0x98:
  case 0x9B:
  case 0x9D:
  case 0x9E:
  case 0x9F: return true;
  default: return false;
  }
}

// The length of the well-formed UTF-8 sequence at `i`; 0 when there is none.
size_t Utf8SequenceAt(std::string_view text, size_t i) noexcept {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t length = lead < 0x80                    ? 1
                        : lead >= 0xC2 && lead <= 0xDF ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
  if (length == 0 || i + length > text.size()) return 0;
  return IsWellFormedUtf8(text.substr(i, length)) ? length : 0;
}

// What is copied or shown at `i`: its length, and whether it steers a
// terminal.
struct TPiece {
  size_t Length;
  bool Control;
};

TPiece PieceAt(std::string_view text, size_t i, TCodeSet codeSet) noexcept {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (IsC0Control(byte)) return {1, true};
  if (codeSet == TCodeSet::SingleByte) return {1, StartsControlString(byte)};
  const size_t length = Utf8SequenceAt(text, i);
  // A C1 code point is C2 80..C2 9F. A stray byte of 80..9F is no character,
  // and a terminal may read it as C1 all the same.
  if (length == 0) return {1, byte >= 0x80 && byte <= 0x9F};
  return {length, length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F};
}

} // namespace

TCodeSet LocaleCodeSet() {
  const std::string codeset = LocaleCodeset();
  return codeset == "UTF-8" || codeset == "utf8" ? TCodeSet::Utf8 : TCodeSet::SingleByte;
}

std::string Defused(std::string_view text, TCodeSet codeSet) {
  std::string safe;
  safe.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const TPiece piece = PieceAt(text, i, codeSet);
    if (!piece.Control) {
      safe.append(text.substr(i, piece.Length));
      i += piece.Length;
      continue;
    }
    for (const size_t end = i + piece.Length; i < end; ++i) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
      safe += escaped;
    }
  }
  return safe;
}

std::string Defused(std::string_view text) { return Defused(text, LocaleCodeSet()); }

} // namespace od
