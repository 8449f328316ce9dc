#include "text/DateTimeParse.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "base/Ascii.h"
#include "text/CaseFold.h"

namespace od {
namespace {

std::function<int()>& YearSource() {
  static std::function<int()> source;
  return source;
}

int LocalClockYear() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

enum class TFieldOrder { MonthDayYear, DayMonthYear, YearMonthDay };

// The first field letter of the short date pattern decides, letters of
// either case alike.
TFieldOrder FieldOrderOf(std::string_view pattern) {
  for (char c : pattern) {
    switch (static_cast<char>(c & ~0x20)) {
    case 'D': return TFieldOrder::DayMonthYear;
    case 'E':
    case 'Y': return TFieldOrder::YearMonthDay;
    case 'M': return TFieldOrder::MonthDayYear;
    default: break;
    }
  }
  return TFieldOrder::MonthDayYear;
}

// A cursor over the text with the scanning steps of the date and time
// forms. Positions are counted from 0 here.
class TScanner {
public:
  TScanner(std::string_view text, const TLocaleFormats& formats, const std::function<int()>* currentYear)
      : text_(text), formats_(formats), currentYear_(currentYear) {}

  bool AtEnd() const { return pos_ >= text_.size(); }

  // Only the space character is a blank; a tab is not.
  void SkipBlanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }

  // Digits while the value is below 1000: "20261" reads as 2026, while
  // leading zeros are taken without limit.
  bool ReadNumber(int& value, size_t& digits) {
    SkipBlanks();
    value = 0;
    digits = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_]) && value < 1000) {
      value = value * 10 + (text_[pos_] - '0');
      ++digits;
      ++pos_;
    }
    return digits > 0;
  }

  bool ReadNumber(int& value) {
    size_t digits = 0;
    return ReadNumber(value, digits);
  }

  bool ReadChar(char c) {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool ReadWord(std::string_view word) {
    if (word.empty()) return false;
    SkipBlanks();
    if (!StartsWithIgnoreCaseCp1251(text_.substr(pos_), word)) return false;
    pos_ += word.size();
    return true;
  }

  void SkipToNumber() {
    while (pos_ < text_.size() && !IsDigit(text_[pos_])) {
      const bool lead = formats_.IsDbcsLocale && formats_.LeadBytes[static_cast<unsigned char>(text_[pos_])];
      pos_ += lead ? 2 : 1;
    }
    if (pos_ > text_.size()) pos_ = text_.size();
  }

  bool ReadDate(int& dayNumber);
  bool ReadTime(TDateTime& time);

private:
  std::int64_t CurrentYear() {
    if (!year_) year_ = currentYear_ != nullptr && *currentYear_ ? (*currentYear_)() : LocalClockYear();
    return *year_;
  }
  std::int64_t EraOffsetOfText();
  std::int64_t EraYear(std::int64_t year, std::int64_t offset);
  void SkipDayName();

  std::string_view text_;
  const TLocaleFormats& formats_;
  const std::function<int()>* currentYear_;
  std::optional<std::int64_t> year_;
  size_t pos_ = 0;
};

// The era name stands before the first number; the offset is that of the
// first era whose name contains it.
std::int64_t TScanner::EraOffsetOfText() {
  SkipToNumber();
  const std::string_view name = TrimView(text_.substr(0, pos_));
  if (name.empty()) return 0;
  for (size_t i = 0; i < kMaxEras; ++i)
    if (formats_.EraTexts[i].find(name) != std::string::npos) return formats_.EraOffsets[i];
  return 0;
}

std::int64_t TScanner::EraYear(std::int64_t year, std::int64_t offset) {
  if (formats_.PrimaryLanguage == kLangKorean) {
    const std::int64_t magnitude = offset < 0 ? -offset : offset;
    if (year < 100) year += (CurrentYear() + magnitude) / 100 * 100;
    if (offset > 0) offset = -offset;
  } else {
    --offset;
  }
  return year + offset;
}

// With a day name in the short date, the words after the date are skipped
// up to the time: to its number, or to its leading designator.
void TScanner::SkipDayName() {
  const std::string& timePattern = formats_.ShortTimePattern;
  if (!timePattern.empty() && IsDigit(timePattern[0])) {
    SkipToNumber();
    return;
  }
  do {
    while (pos_ < text_.size() && text_[pos_] != ' ') ++pos_;
    SkipBlanks();
  } while (!AtEnd() && !StartsWithIgnoreCaseCp1251(text_.substr(pos_), formats_.AmText) &&
           !StartsWithIgnoreCaseCp1251(text_.substr(pos_), formats_.PmText));
}

bool TScanner::ReadDate(int& dayNumber) {
  const std::string& pattern = formats_.ShortDatePattern;
  const TFieldOrder order = FieldOrderOf(pattern);
  std::int64_t eraOffset = 0;
  if (!pattern.empty() && pattern[0] == 'g')
    eraOffset = EraOffsetOfText();
  else if (pattern.find('e') != std::string::npos)
    eraOffset = formats_.EraOffsets[0];

  int n1 = 0, n2 = 0, n3 = 0;
  size_t digits1 = 0, digits3 = 0;
  if (!ReadNumber(n1, digits1) || !ReadChar(formats_.DateDelimiter) || !ReadNumber(n2)) return false;

  std::int64_t year = 0;
  int month = 0, day = 0;
  if (ReadChar(formats_.DateDelimiter)) {
    if (!ReadNumber(n3, digits3)) return false;
    size_t yearDigits = digits3;
    switch (order) {
    case TFieldOrder::MonthDayYear: month = n1, day = n2, year = n3; break;
    case TFieldOrder::DayMonthYear: day = n1, month = n2, year = n3; break;
    case TFieldOrder::YearMonthDay: year = n1, yearDigits = digits1, month = n2, day = n3; break;
    }
    if (eraOffset > 0) {
      year = EraYear(year, eraOffset);
    } else if (yearDigits <= 2) {
      // Two-digit years fall into the CenturyWindow years before the current one.
      const std::int64_t base = CurrentYear() - formats_.CenturyWindow;
      year += base / 100 * 100;
      if (formats_.CenturyWindow > 0 && year < base) year += 100;
    }
  } else {
    year = CurrentYear();
    if (order == TFieldOrder::DayMonthYear)
      day = n1, month = n2;
    else
      month = n1, day = n2;
  }

  ReadChar(formats_.DateDelimiter); // a trailing separator is allowed
  SkipBlanks();
  if (formats_.IsDbcsLocale && pattern.find("ddd") != std::string::npos) SkipDayName();
  if (year < 1 || year > 9999) return false;
  return TryEncodeDate(static_cast<int>(year), month, day, dayNumber);
}

bool TScanner::ReadTime(TDateTime& time) {
  // A designator may stand before or after the time; the locale's own and
  // the literal AM and PM are accepted alike.
  auto readDesignator = [this]() {
    if (ReadWord(formats_.AmText) || ReadWord("AM")) return 0;
    if (ReadWord(formats_.PmText) || ReadWord("PM")) return 12;
    return -1;
  };
  int baseHour = readDesignator();
  if (baseHour >= 0) SkipBlanks();

  int hour = 0, minute = 0, second = 0, msec = 0;
  if (!ReadNumber(hour)) return false;
  if (ReadChar(formats_.TimeDelimiter)) {
    if (!ReadNumber(minute)) return false;
    if (ReadChar(formats_.TimeDelimiter)) {
      if (!ReadNumber(second)) return false;
      // The milliseconds as written: ",5" is 5 ms, not half a second.
      if (ReadChar(formats_.DecimalDelimiter) && !ReadNumber(msec)) return false;
    }
  }
  if (baseHour < 0) baseHour = readDesignator();
  if (baseHour >= 0) {
    if (hour == 0 || hour > 12) return false;
    if (hour == 12) hour = 0;
    hour += baseHour;
  }
  SkipBlanks();
  return TryEncodeTime(hour, minute, second, msec, time);
}

} // namespace

void SetCurrentYearSource(std::function<int()> source) { YearSource() = std::move(source); }

int CurrentYear() { return YearSource() ? YearSource()() : LocalClockYear(); }

bool TryParseTimeText(std::string_view text, TDateTime& value, const TLocaleFormats& formats) {
  TScanner scanner(text, formats, nullptr);
  TDateTime time = 0;
  if (!scanner.ReadTime(time) || !scanner.AtEnd()) return false;
  value = time;
  return true;
}

bool TryParseDateTimeText(std::string_view text, TDateTime& value, const TLocaleFormats& formats,
                          const std::function<int()>& currentYear) {
  TScanner scanner(text, formats, &currentYear);
  int dayNumber = 0;
  TDateTime time = 0;
  // A date followed by something that is not a time falls back to reading
  // the whole text as a time, which then fails unless it is one.
  if (scanner.ReadDate(dayNumber) && (scanner.AtEnd() || scanner.ReadTime(time))) {
    value = dayNumber >= 0 ? dayNumber + time : dayNumber - time;
    return true;
  }
  return TryParseTimeText(text, value, formats);
}

bool TryParseDateTimeText(std::string_view text, TDateTime& value) {
  return TryParseDateTimeText(text, value, LocaleFormats, YearSource());
}

bool TryParseTimeText(std::string_view text, TDateTime& value) { return TryParseTimeText(text, value, LocaleFormats); }

TDateTime ParseDateTimeText(std::string_view text) {
  TDateTime value = 0;
  if (!TryParseDateTimeText(text, value)) {
    std::string message = "'";
    message.append(text);
    message += "' is not a valid date and time";
    throw EConvertError(std::move(message));
  }
  return value;
}

} // namespace od
