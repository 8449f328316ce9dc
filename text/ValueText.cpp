#include "text/ValueText.h"

#include <charconv>
#include <cmath>

#include "base/Ascii.h"
#include "text/LocaleFormats.h"

namespace od {

namespace {

bool IsTwelveHourPattern(std::string_view pattern) {
  const std::string upper = UpperAscii(pattern);
  return upper.find("AMPM") != std::string::npos || upper.find("AM/PM") != std::string::npos;
}

// The value with at least `width` digits, zeros in front.
void AppendNumber(std::string& out, int value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  out += digits;
}

// A quoted literal that starts at `quote`, without its quotes (an unclosed
// one runs to the end); returns the position after it.
size_t AppendQuoted(std::string& out, std::string_view pattern, size_t quote) {
  const size_t end = pattern.find(pattern[quote], quote + 1);
  const size_t stop = end == std::string_view::npos ? pattern.size() : end;
  out.append(pattern.substr(quote + 1, stop - quote - 1));
  return stop == pattern.size() ? stop : stop + 1;
}

// The AMPM or AM/PM marker the rest of the pattern starts with, if any;
// returns its length (0 when there is none).
size_t AppendAmPm(std::string& out, std::string_view rest, int hour) {
  if (EqualsIgnoreCaseAscii(rest.substr(0, 4), "AMPM")) {
    out += hour < 12 ? LocaleFormats.AmText : LocaleFormats.PmText;
    return 4;
  }
  if (EqualsIgnoreCaseAscii(rest.substr(0, 5), "AM/PM")) {
    out += hour < 12 ? "am" : "pm";
    return 5;
  }
  return 0;
}

int TwelveHourClock(int hour) {
  hour %= 12;
  return hour == 0 ? 12 : hour;
}

// One run of the same letter (case ignored): a field, a delimiter or text.
void AppendRun(std::string& out, std::string_view run, const TDateTimeParts& t, bool twelveHour, bool afterHour) {
  const size_t length = run.size();
  const int width = length >= 2 ? 2 : 1;
  switch (ToUpperAscii(run[0])) {
  case 'D': AppendNumber(out, t.Day, width); break;
  case 'M': AppendNumber(out, afterHour ? t.Minute : t.Month, width); break;
  case 'Y':
    if (length <= 2) {
      AppendNumber(out, t.Year % 100, 2);
    } else {
      AppendNumber(out, t.Year, 4);
    }
    break;
  case 'H': AppendNumber(out, twelveHour ? TwelveHourClock(t.Hour) : t.Hour, width); break;
  case 'N': AppendNumber(out, t.Minute, width); break;
  case 'S': AppendNumber(out, t.Second, width); break;
  case 'Z': AppendNumber(out, t.MSec, length >= 3 ? 3 : 1); break;
  case 'G': break; // era names: the locales this program runs under have none
  case '/': out.append(length, LocaleFormats.DateDelimiter); break;
  case ':': out.append(length, LocaleFormats.TimeDelimiter); break;
  default: out.append(run); break;
  }
}

// Date-time formatting by the locale's patterns: d, dd, m/M (month; minutes
// right after an hour), y, h, n, s, z, AMPM, am/pm, "/" and ":" as the
// locale's delimiters, quoted literals.
std::string FormatByPattern(std::string_view pattern, const TDateTimeParts& t) {
  std::string out;
  const bool twelveHour = IsTwelveHourPattern(pattern);
  bool afterHour = false;
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'' || c == '"') {
      i = AppendQuoted(out, pattern, i);
      continue;
    }
    if (const size_t marker = AppendAmPm(out, pattern.substr(i), t.Hour)) {
      i += marker;
      continue;
    }
    const char u = ToUpperAscii(c);
    size_t run = 1;
    while (i + run < pattern.size() && ToUpperAscii(pattern[i + run]) == u) ++run;
    AppendRun(out, pattern.substr(i, run), t, twelveHour, afterHour);
    if (u == 'H') {
      afterHour = true;
    } else if (u != ':' && u != ' ') {
      afterHour = false;
    }
    i += run;
  }
  return out;
}

// The long time pattern: the locale's time pattern with seconds after the minutes.
std::string LongTimePattern() {
  std::string pattern = LocaleFormats.ShortTimePattern;
  const size_t minutes = pattern.find("mm");
  if (minutes != std::string::npos) {
    pattern.insert(minutes + 2, ":ss");
  } else if (pattern.find('s') == std::string::npos) {
    pattern += ":ss";
  }
  return pattern;
}

} // namespace

bool ParseStrictInteger(std::string_view text, std::int64_t minValue, std::int64_t maxValue, std::int64_t& out) {
  size_t p = 0;
  while (p < text.size() && text[p] == ' ') ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  int base = 10;
  if (p < text.size() && (text[p] == '$' || text[p] == 'x' || text[p] == 'X')) {
    base = 16;
    ++p;
  } else if (p + 1 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (p >= text.size()) return false;
  const std::uint64_t limit =
      negative ? static_cast<std::uint64_t>(-(minValue + 1)) + 1u : static_cast<std::uint64_t>(maxValue);
  std::uint64_t magnitude = 0;
  for (; p < text.size(); ++p) {
    const int digit = base == 16 ? HexValue(text[p]) : (IsDigit(text[p]) ? text[p] - '0' : -1);
    if (digit < 0) return false;
    if (magnitude > (limit - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return false;
    magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  out = negative ? static_cast<std::int64_t>(0u - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

std::string FormatFloatGeneral(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text(buffer, result.ptr);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      out += LocaleFormats.DecimalDelimiter;
    } else if (c == 'e') {
      out += 'E';
      size_t p = i + 1;
      if (p < text.size() && (text[p] == '+' || text[p] == '-')) {
        if (text[p] == '-') out += '-';
        ++p;
      }
      while (p + 1 < text.size() && text[p] == '0') ++p;
      out.append(text, p, std::string::npos);
      break;
    } else {
      out += c;
    }
  }
  return out;
}

std::string FormatScaledInt64(std::int64_t value, int scale) {
  const bool negative = value < 0;
  const std::uint64_t magnitude = negative ? 0u - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  if (scale > 0) {
    digits.append(static_cast<size_t>(scale), '0');
  } else if (scale < 0) {
    const size_t decimals = static_cast<size_t>(-scale);
    if (digits.size() <= decimals) digits.insert(0, decimals - digits.size() + 1, '0');
    digits.insert(digits.size() - decimals, 1, LocaleFormats.DecimalDelimiter);
  }
  return negative ? "-" + digits : digits;
}

std::string FormatDateTimeValue(TDateTime value, bool date, bool time) {
  TDateTimeParts parts;
  if (!TryDecodeDateTime(value, parts)) return FormatIsoDateTime(value);
  std::string out;
  if (date) out = FormatByPattern(LocaleFormats.ShortDatePattern, parts);
  // A timestamp at midnight shows its date alone.
  const bool hasTime = parts.Hour != 0 || parts.Minute != 0 || parts.Second != 0 || parts.MSec != 0;
  if (time && (!date || hasTime)) {
    if (!out.empty()) out += ' ';
    out += FormatByPattern(LongTimePattern(), parts);
  }
  return out;
}

} // namespace od
