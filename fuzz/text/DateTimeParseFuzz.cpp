// Parses arbitrary text under settings taken from the first input bytes and
// checks what every successful parse promises: a finite value inside the
// calendar's years, a time alone within one day, and the raising form
// agreeing with the trying form, naming the text unchanged.
#include "text/DateTimeParse.h"

#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr size_t kSettingBytes = 9;

const char* const kDatePatterns[] = {"dd.MM.yyyy", "M/d/yyyy",       "yyyy-MM-dd", "ggg ee/MM/dd",
                                     "ee/MM/dd",   "yyyy/MM/dd ddd", "",           "gg dd.MM.yyyy ddd"};
const char* const kTimePatterns[] = {"hh:mm", "h:mm AMPM", "AMPM h:mm", "0h:mm"};
// Designator pairs: none, English, Cyrillic (code page 1251), one letter.
const char* const kDesignators[][2] = {{"", ""}, {"AM", "PM"}, {"\xE4\xEF", "\xEF\xEF"}, {"a", "p"}};
const std::uint16_t kLanguages[] = {od::kLangRussian, od::kLangEnglish, od::kLangJapanese, od::kLangKorean};
const std::array<int, od::kMaxEras> kOffsets[] = {
    {1868, 1912, 1926, 1989, 2019, -1, -1},
    {2333, 0, -5, 100000, -1, -1, -1},
    {INT_MAX, INT_MIN, INT_MAX - 1, INT_MIN + 1, 1, 0, -1},
    {-1, -1, -1, -1, -1, -1, -1},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size < kSettingBytes) return 0;
  od::TLocaleFormats f;
  const std::uint8_t flags = data[0];
  f.IsDbcsLocale = (flags & 1) != 0;
  f.ShortDatePattern = kDatePatterns[(flags >> 1) & 7];
  f.AmText = kDesignators[(flags >> 4) & 3][0];
  f.PmText = kDesignators[(flags >> 4) & 3][1];
  f.PrimaryLanguage = kLanguages[(flags >> 6) & 3];
  f.DateDelimiter = static_cast<char>(data[1]);
  f.TimeDelimiter = static_cast<char>(data[2]);
  f.DecimalDelimiter = static_cast<char>(data[3]);
  f.CenturyWindow = data[4];
  const int year = static_cast<std::int16_t>(data[5] | (data[6] << 8));
  f.ShortTimePattern = kTimePatterns[data[7] & 3];
  for (int b = 0x81; b < 0xA0; ++b) f.LeadBytes.set(static_cast<size_t>(b), (data[7] & 4) != 0);
  f.EraTexts = {"Meiji", "Taisho", "Showa", "Heisei", "Reiwa", "", ""};
  f.EraOffsets = kOffsets[data[8] & 3];

  const std::string_view text(reinterpret_cast<const char*>(data) + kSettingBytes, size - kSettingBytes);
  const std::function<int()> currentYear = [year] { return year; };

  od::TDateTime value = 0;
  const bool parsed = od::TryParseDateTimeText(text, value, f, currentYear);
  if (parsed) {
    od::TDateTimeParts parts;
    if (!od::TryDecodeDateTime(value, parts)) std::abort();
  }

  od::TDateTime time = 0;
  if (od::TryParseTimeText(text, time, f)) {
    if (!(time >= 0 && time < 1)) std::abort();
    if (!parsed) std::abort(); // a time alone is a valid date-time too
  }

  // The process-wide form under the same settings.
  od::LocaleFormats = f;
  od::SetCurrentYearSource(currentYear);
  try {
    const od::TDateTime raised = od::ParseDateTimeText(text);
    if (!parsed || raised != value) std::abort();
  } catch (const od::EConvertError& e) {
    if (parsed || e.Message() != "'" + std::string(text) + "' is not a valid date and time") std::abort();
  }
  od::SetCurrentYearSource(nullptr);
  od::LocaleFormats = od::TLocaleFormats();
  return 0;
}
