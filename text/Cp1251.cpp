#include "text/Cp1251.h"

#include "base/Ascii.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace od {
namespace {

// One iconv conversion descriptor, opened per call: conversions happen only
// at the edges (a status text, a message, a locale item), never per byte of
// a hot loop, and a descriptor of our own keeps the calls thread-safe.
class Converter {
public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("iconv_open failed for ") + from);
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts all of `input`; an input sequence the target cannot hold, or a
  // malformed one, is skipped and `replacement` written in its place.
  std::string Run(std::string_view input, std::string_view replacement, size_t skipOnError) {
    std::string output;
    output.resize(input.size() * 4 + 16);
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    size_t written = 0;
    while (inLeft > 0) {
      char* out = output.data() + written;
      size_t outLeft = output.size() - written;
      const size_t rc = iconv(cd_, &in, &inLeft, &out, &outLeft);
      written = output.size() - outLeft;
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) {
        output.resize(output.size() * 2);
        continue;
      }
      // EILSEQ or EINVAL: replace the offending sequence and go on.
      const size_t skip = SequenceLength(in, inLeft, skipOnError);
      in += skip;
      inLeft -= skip;
      if (output.size() - written < replacement.size()) output.resize(output.size() * 2 + replacement.size());
      output.replace(written, replacement.size(), replacement);
      written += replacement.size();
    }
    output.resize(written);
    return output;
  }

private:
  // For UTF-8 input skip a whole character; for single-byte input one byte.
  static size_t SequenceLength(const char* in, size_t left, size_t skipOnError) {
    if (skipOnError == 1) return 1;
    const auto lead = static_cast<unsigned char>(*in);
    size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (n > left) n = left;
    for (size_t i = 1; i < n; ++i)
      if ((static_cast<unsigned char>(in[i]) & 0xC0) != 0x80) return i;
    return n;
  }

  iconv_t cd_;
};

} // namespace

std::string Utf8ToCp1251(std::string_view utf8) {
  Converter converter("CP1251", "UTF-8");
  return converter.Run(utf8, "?", 0);
}

std::string ToCp1251(std::string_view text, const char* charset) {
  if (EqualsIgnoreCaseAscii(charset, "UTF-8") || EqualsIgnoreCaseAscii(charset, "UTF8")) return Utf8ToCp1251(text);
  Converter converter("CP1251", charset);
  return converter.Run(text, "?", 1);
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  Converter converter("UTF-8", "CP1251");
  return converter.Run(cp1251, "\xEF\xBF\xBD", 1);
}

} // namespace od
