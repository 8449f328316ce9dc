#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

// One iconv conversion descriptor with its owner. Conversions happen only at
// the edges (a status text, a message, a locale item, a KOI8 connection's
// text), never per byte of a hot loop, so callers open one per conversion;
// a descriptor of their own also keeps the calls thread-safe.
namespace od {

// What a conversion writes in place of input that the target set cannot
// hold or that is malformed in the source set, and how much input that
// replacement stands for.
struct TIconvReplacement {
  enum class TSkip {
    // One byte: single-byte sources.
    Byte,
    // The character a UTF-8 lead byte announces, as far as continuation
    // bytes actually follow it.
    Utf8Character,
    // The byte and every continuation byte after it.
    Utf8Run,
  };
  std::string_view Text;
  TSkip Skip;
};

class TIconv {
public:
  // iconv names, such as "CP1251" or a locale's code set. Raises
  // std::runtime_error "iconv_open failed for <from>" when iconv offers no
  // such conversion.
  TIconv(const char* to, const char* from);
  ~TIconv();
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;

  // All of `input` converted, from the descriptor's initial state.
  std::string Convert(std::string_view input, const TIconvReplacement& replacement);

private:
  iconv_t cd_;
};

} // namespace od
