#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The user's date and time format settings, read once from the locale and
// used by every date-time conversion of the program.
namespace od {

// Primary language numbers as the settings carry them.
inline constexpr std::uint16_t kLangChinese = 4;
inline constexpr std::uint16_t kLangEnglish = 9;
inline constexpr std::uint16_t kLangJapanese = 17;
inline constexpr std::uint16_t kLangKorean = 18;
inline constexpr std::uint16_t kLangRussian = 25;

inline constexpr size_t kMaxEras = 7;

// Text in code page 1251. The initial values are the ones used when the
// locale cannot deliver an item.
struct TLocaleFormats {
  char DateDelimiter = '/';
  std::string ShortDatePattern = "m/d/yy";
  char TimeDelimiter = ':';
  std::string AmText = "am";
  std::string PmText = "pm";
  char DecimalDelimiter = '.';
  std::string ShortTimePattern = "h:mm AMPM";
  std::uint16_t CenturyWindow = 50;
  bool IsDbcsLocale = false;
  // Lead bytes of the double-byte character set, only with IsDbcsLocale.
  std::bitset<256> LeadBytes;
  std::uint16_t PrimaryLanguage = kLangEnglish; // 10 bits
  // Era names and year offsets of an era calendar, only with IsDbcsLocale.
  std::array<std::string, kMaxEras> EraTexts;
  std::array<int, kMaxEras> EraOffsets{};
};

// The process-wide settings: written only by LoadLocaleFormats (and by
// tests), read by the date-time parser on the same thread.
extern TLocaleFormats LocaleFormats;

// The locale's raw items before defaults and derived rules apply. An item
// the platform cannot deliver is empty (nullopt); an item whose value is the
// empty text is an empty string.
struct TLocaleItems {
  // Low 10 bits primary language, the 6 bits above the sub-language; 0 when
  // the locale names no language the program knows.
  std::uint32_t LocaleId = 0;
  bool IsDbcs = false;
  std::bitset<256> LeadBytes;
  std::optional<std::string> DateDelimiter;
  std::optional<std::string> ShortDate;
  std::optional<std::string> TimeDelimiter;
  std::optional<std::string> AmText;
  std::optional<std::string> PmText;
  std::optional<std::string> Decimal;
  std::optional<int> TimeLeadingZero;  // hour written with a leading zero when not 0
  std::optional<int> TimeFormat;       // 0: 12-hour clock, 1: 24-hour clock
  std::optional<int> TimeMarkPosition; // AM/PM designator before the time when not 0
  std::optional<int> CalendarType;     // 3, 4, 5: era calendars
  std::optional<int> OptionalCalendar;
  // Of the optional calendar: its era names and year offsets, in order.
  std::vector<std::string> EraNames;
  std::vector<std::string> EraYearOffsets;
};

// Applies the defaults, the era calendar rule for the short date pattern and
// builds the short time pattern.
TLocaleFormats BuildLocaleFormats(const TLocaleItems& items);

// Reads the items from a C library locale: LC_TIME and LC_NUMERIC of the
// named locale, or of the environment when the name is empty. A locale that
// is not installed reads as "C".
TLocaleItems ReadLocaleItems(const std::string& localeName);

// A C library date format ("%d.%m.%Y") as a short date pattern
// ("dd.MM.yyyy"), both in code page 1251.
std::string DateFormatToPattern(std::string_view dateFormat);
// Windows-style language identifier for a locale name such as "ru_RU.UTF-8";
// 0 for "C", "POSIX" and languages the table does not know.
std::uint32_t LocaleIdFromName(std::string_view localeName);

// Fills LocaleFormats from the environment's locale. Called at start and
// again when the system announces changed settings.
void LoadLocaleFormats();
// The same from a named locale, so that nothing depends on the environment.
void LoadLocaleFormatsFrom(const std::string& localeName);

} // namespace od
