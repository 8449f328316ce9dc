#include "text/Iconv.h"

#include <cerrno>
#include <stdexcept>

namespace od {

namespace {

bool IsUtf8Continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// How many of the `left` bytes at `in` one replacement stands for (at least one).
std::size_t SkipLength(const char* in, std::size_t left, TIconvReplacement::TSkip skip) noexcept {
  switch (skip) {
  case TIconvReplacement::TSkip::Byte: return 1;
  case TIconvReplacement::TSkip::Utf8Character: {
    const auto lead = static_cast<unsigned char>(*in);
    std::size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (n > left) n = left;
    for (std::size_t i = 1; i < n; ++i)
      if (!IsUtf8Continuation(in[i])) return i;
    return n;
  }
  case TIconvReplacement::TSkip::Utf8Run: {
    std::size_t n = 1;
    while (n < left && IsUtf8Continuation(in[n])) ++n;
    return n;
  }
  }
  return 1;
}

} // namespace

TIconv::TIconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
  if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("iconv_open failed for ") + from);
}

TIconv::~TIconv() { iconv_close(cd_); }

std::string TIconv::Convert(std::string_view input, const TIconvReplacement& replacement) {
  iconv(cd_, nullptr, nullptr, nullptr, nullptr);
  std::string output;
  output.resize(input.size() * 4 + 16);
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  std::size_t written = 0;
  while (inLeft > 0) {
    char* out = output.data() + written;
    std::size_t outLeft = output.size() - written;
    const std::size_t rc = iconv(cd_, &in, &inLeft, &out, &outLeft);
    written = output.size() - outLeft;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      output.resize(output.size() * 2);
      continue;
    }
    // EILSEQ or EINVAL: replace the offending sequence and go on.
    const std::size_t skip = SkipLength(in, inLeft, replacement.Skip);
    in += skip;
    inLeft -= skip;
    if (output.size() - written < replacement.Text.size()) output.resize(output.size() * 2 + replacement.Text.size());
    output.replace(written, replacement.Text.size(), replacement.Text);
    written += replacement.Text.size();
  }
  output.resize(written);
  return output;
}

} // namespace od
