#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/DateTime.h"

// Database values as the program's text and back: integers read strictly,
// floating and scaled numbers and date-times written under the locale's
// formats (LocaleFormats).
namespace od {

// Leading spaces, an optional sign, then decimal digits or a hexadecimal
// number introduced by "$", "x", "X", "0x" or "0X", and nothing after it.
// False for any other text and for a value outside minValue..maxValue;
// `out` is then left alone.
bool ParseStrictInteger(std::string_view text, std::int64_t minValue, std::int64_t maxValue, std::int64_t& out);

// The general format with 15 significant digits, the locale's decimal
// separator and an exponent written as "E-7" / "E20"; "NAN", "INF", "-INF".
std::string FormatFloatGeneral(double value);

// The decimal digits of value x 10^scale: for a negative scale the locale's
// decimal separator inserted -scale digits from the right (zeros added in
// front when there are fewer digits), for a positive one zeros appended.
std::string FormatScaledInt64(std::int64_t value, int scale);

// The date by the locale's short date pattern and/or the time by its long
// time pattern (the short one with seconds); a timestamp at midnight shows
// its date alone. A value outside the calendar as FormatIsoDateTime gives it.
std::string FormatDateTimeValue(TDateTime value, bool date, bool time);

} // namespace od
