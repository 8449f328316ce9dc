#pragma once

#include <string>
#include <string_view>

namespace od {

// How the bytes of a text stand for characters, for telling which of them a
// terminal would obey.
enum class TCodeSet {
  Utf8,       // C0 controls, DEL and the C1 code points (C2 80..C2 9F) steer
  SingleByte, // C0 controls, DEL, and the bytes a terminal reads as the start
              // of a control string or sequence (0x90 DCS, 0x98 SOS, 0x9B CSI,
              // 0x9D OSC, 0x9E PM, 0x9F APC); the code page's other letters and
              // punctuation in 0x80..0x9F ("…", "—", quotes) stay readable
};

// The code set of the locale in force (LC_CTYPE).
TCodeSet LocaleCodeSet();

// Text as it is finally written to a terminal or a file, in `codeSet`: every
// byte that would steer a terminal shown as \xNN instead, so that nothing a
// service, a database or a user typed can move the cursor, clear the screen
// or rewrite what is read. The one place that decides what is shown for
// every text that reaches a terminal or a file.
std::string Defused(std::string_view text, TCodeSet codeSet);
// The same in the locale's code set.
std::string Defused(std::string_view text);

} // namespace od
