#include "text/LocaleFormats.h"

#include <langinfo.h>
#include <locale.h>
#include <utility>

#include "base/Ascii.h"
#include "text/Cp1251.h"

namespace od {

TLocaleFormats LocaleFormats;

namespace {

// A text item is read with room for 255 characters; a longer one counts as
// not delivered.
constexpr size_t kMaxItemLength = 255;

std::string TextItem(const std::optional<std::string>& item, const char* fallback) {
  if (!item || item->size() > kMaxItemLength) return fallback;
  return *item;
}

// A one-character item: longer values and unreadable ones give the default,
// the empty value the character of code 0.
char CharItem(const std::optional<std::string>& item, char fallback) {
  if (!item || item->size() > 1) return fallback;
  return item->empty() ? '\0' : (*item)[0];
}

// Signed decimal text as an integer; 0 when it is not one.
int IntegerOrZero(std::string_view text) {
  text = TrimView(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return 0;
  long long value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return 0;
    value = value * 10 + (c - '0');
    if (value > 0x7FFFFFFFLL) return 0;
  }
  return static_cast<int>(negative ? -value : value);
}

bool IsEraCalendar(const std::optional<int>& calendar) {
  return calendar && (*calendar == 3 || *calendar == 4 || *calendar == 5);
}

// Era calendars write the year as the year of the era: "gg" grows to the
// long era name, year letters become era-year letters.
std::string ApplyEraCalendar(std::string_view pattern, const std::bitset<256>& leadBytes, bool isDbcs) {
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (isDbcs && leadBytes[static_cast<unsigned char>(c)]) {
      out.append(pattern.substr(i, 2));
      i += 2;
      continue;
    }
    const std::string_view rest = pattern.substr(i);
    if (rest.size() >= 2 && (c == 'g' || c == 'G') && (rest[1] == 'g' || rest[1] == 'G')) {
      out += "ggg";
      i += 2;
    } else if (rest.starts_with("yyyy")) {
      out += "eeee";
      i += 4;
    } else if (rest.starts_with("yy")) {
      out += "ee";
      i += 2;
    } else if (c == 'y' || c == 'Y') {
      out += 'e';
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

} // namespace

TLocaleFormats BuildLocaleFormats(const TLocaleItems& items) {
  TLocaleFormats f;
  if ((items.LocaleId & 0xFFFF) != 0) f.PrimaryLanguage = static_cast<std::uint16_t>(items.LocaleId & 0x3FF);
  f.IsDbcsLocale = items.IsDbcs;
  if (f.IsDbcsLocale) {
    f.LeadBytes = items.LeadBytes;
    if (IsEraCalendar(items.OptionalCalendar.value_or(1))) {
      for (size_t i = 0; i < items.EraNames.size() && i < kMaxEras; ++i) f.EraTexts[i] = items.EraNames[i];
      f.EraOffsets.fill(-1);
      for (size_t i = 0; i < items.EraYearOffsets.size() && i < kMaxEras; ++i)
        f.EraOffsets[i] = IntegerOrZero(items.EraYearOffsets[i]);
    }
  }

  f.DateDelimiter = CharItem(items.DateDelimiter, '/');
  f.ShortDatePattern = TextItem(items.ShortDate, "m/d/yy");
  f.TimeDelimiter = CharItem(items.TimeDelimiter, ':');
  f.AmText = TextItem(items.AmText, "am");
  f.PmText = TextItem(items.PmText, "pm");
  f.DecimalDelimiter = CharItem(items.Decimal, '.');

  if (IsEraCalendar(items.CalendarType.value_or(1))) {
    f.ShortDatePattern = ApplyEraCalendar(f.ShortDatePattern, f.LeadBytes, f.IsDbcsLocale);
  } else if (f.PrimaryLanguage == kLangChinese || f.PrimaryLanguage == kLangJapanese ||
             f.PrimaryLanguage == kLangKorean) {
    std::erase_if(f.ShortDatePattern, [](char c) { return c == 'g' || c == 'G'; });
  }

  std::string prefix, suffix;
  const std::string hour = items.TimeLeadingZero.value_or(0) != 0 ? "hh" : "h";
  if (items.TimeFormat.value_or(0) == 0) {
    if (items.TimeMarkPosition.value_or(0) != 0)
      prefix = "AMPM ";
    else
      suffix = " AMPM";
  }
  f.ShortTimePattern = prefix + hour + ":mm" + suffix;
  return f;
}

namespace {

// One conversion of a C library format: "%-d" gives flag '-' and letter 'd'.
struct TConversion {
  char Flag = 0;
  char Modifier = 0; // 'E' or 'O'
  char Letter = 0;
  size_t Length = 0; // bytes of the whole conversion
};

TConversion ReadConversion(std::string_view format, size_t at) {
  TConversion c;
  size_t i = at + 1;
  if (i < format.size() && std::string_view("_-0^#").find(format[i]) != std::string_view::npos) c.Flag = format[i++];
  while (i < format.size() && IsDigit(format[i])) ++i;
  if (i < format.size() && (format[i] == 'E' || format[i] == 'O')) c.Modifier = format[i++];
  if (i < format.size()) c.Letter = format[i++];
  c.Length = i - at;
  return c;
}

bool IsPatternLetter(char c) { return c == 'd' || c == 'M' || c == 'y' || c == 'g' || c == 'e' || c == 'Y'; }

// Expands the composite conversions of a time format into their parts.
std::string ExpandTimeFormat(std::string_view format, std::string_view ampmFormat) {
  std::string out;
  for (size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    const TConversion c = ReadConversion(format, i);
    if (c.Letter == 'T' || c.Letter == 'X')
      out += "%H:%M:%S";
    else if (c.Letter == 'R')
      out += "%H:%M";
    else if (c.Letter == 'r')
      out += ampmFormat.find("%r") == std::string_view::npos ? std::string(ampmFormat) : "%I:%M:%S %p";
    else
      out.append(format.substr(i, c.Length));
    i += c.Length;
  }
  return out;
}

struct TTimeItems {
  std::optional<std::string> Delimiter;
  std::optional<int> LeadingZero, Format, MarkPosition;
};

TTimeItems TimeItemsFromFormat(std::string_view format) {
  TTimeItems t;
  bool markSeen = false;
  for (size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      ++i;
      continue;
    }
    const TConversion c = ReadConversion(format, i);
    i += c.Length;
    if (c.Letter == 'p' || c.Letter == 'P') markSeen = true;
    if (c.Letter != 'H' && c.Letter != 'I' && c.Letter != 'k' && c.Letter != 'l') continue;
    const bool padded = (c.Letter == 'H' || c.Letter == 'I') && c.Flag != '-' && c.Flag != '_';
    t.LeadingZero = padded ? 1 : 0;
    t.Format = (c.Letter == 'H' || c.Letter == 'k') ? 1 : 0;
    t.MarkPosition = markSeen ? 1 : 0;
    // The separator is the literal text up to the minutes.
    const size_t next = format.find('%', i);
    t.Delimiter = std::string(format.substr(i, next == std::string_view::npos ? std::string_view::npos : next - i));
    break;
  }
  return t;
}

// The literal text between the first and the second field of a date format.
std::optional<std::string> DateDelimiterFromFormat(std::string_view format) {
  size_t i = 0;
  int fields = 0;
  std::string between;
  while (i < format.size()) {
    if (format[i] != '%') {
      if (fields == 1) between += format[i];
      ++i;
      continue;
    }
    const TConversion c = ReadConversion(format, i);
    i += c.Length;
    if (c.Letter == '%' || c.Letter == 'n' || c.Letter == 't') {
      if (fields == 1) between += c.Letter == '%' ? '%' : ' ';
      continue;
    }
    if (c.Letter == 'D') return fields == 1 ? between : "/";
    if (c.Letter == 'F') return fields == 1 ? between : "-";
    if (++fields == 2) return between;
  }
  return fields == 0 ? std::nullopt : std::optional<std::string>(std::string());
}

struct TLanguage {
  const char* Code;
  std::uint16_t Primary;
};

constexpr TLanguage kLanguages[] = {
    {"ar", 1},  {"bg", 2},  {"ca", 3},  {"zh", 4},  {"cs", 5},  {"da", 6},  {"de", 7},  {"el", 8},
    {"en", 9},  {"es", 10}, {"fi", 11}, {"fr", 12}, {"he", 13}, {"hu", 14}, {"is", 15}, {"it", 16},
    {"ja", 17}, {"ko", 18}, {"nl", 19}, {"nb", 20}, {"nn", 20}, {"no", 20}, {"pl", 21}, {"pt", 22},
    {"ro", 24}, {"ru", 25}, {"hr", 26}, {"sk", 27}, {"sq", 28}, {"sv", 29}, {"th", 30}, {"tr", 31},
    {"ur", 32}, {"id", 33}, {"uk", 34}, {"be", 35}, {"sl", 36}, {"et", 37}, {"lv", 38}, {"lt", 39},
    {"fa", 41}, {"vi", 42}, {"hy", 43}, {"az", 44}, {"eu", 45}, {"mk", 47}, {"af", 54}, {"ka", 55},
    {"hi", 57}, {"ms", 62}, {"kk", 63}, {"ky", 64}, {"sw", 65}, {"uz", 67}, {"tt", 68}, {"mn", 80},
};

// The codeset the items of a category come in: that of the category's own
// locale name.
std::string CodesetOf(const char* localeName) {
  locale_t ctype = newlocale(LC_CTYPE_MASK, localeName, static_cast<locale_t>(nullptr));
  if (ctype == static_cast<locale_t>(nullptr)) return "ANSI_X3.4-1968";
  std::string codeset = nl_langinfo_l(CODESET, ctype);
  freelocale(ctype);
  return codeset;
}

class TLocale {
public:
  explicit TLocale(const std::string& name) {
    const int mask = LC_TIME_MASK | LC_NUMERIC_MASK;
    loc_ = newlocale(mask, name.c_str(), static_cast<locale_t>(nullptr));
    if (loc_ != static_cast<locale_t>(nullptr)) return;
    // A category whose locale is not installed stays "C"; the other one is
    // still read from its own locale.
    loc_ = newlocale(mask, "C", static_cast<locale_t>(nullptr));
    for (const int category : {LC_TIME_MASK, LC_NUMERIC_MASK}) {
      if (loc_ == static_cast<locale_t>(nullptr)) break;
      const locale_t changed = newlocale(category, name.c_str(), loc_);
      if (changed != static_cast<locale_t>(nullptr)) loc_ = changed;
    }
  }
  ~TLocale() {
    if (loc_ != static_cast<locale_t>(nullptr)) freelocale(loc_);
  }
  TLocale(const TLocale&) = delete;
  TLocale& operator=(const TLocale&) = delete;

  bool Valid() const { return loc_ != static_cast<locale_t>(nullptr); }
  std::string Raw(nl_item item) const { return nl_langinfo_l(item, loc_); }

private:
  locale_t loc_;
};

} // namespace

std::string DateFormatToPattern(std::string_view format) {
  std::string out;
  for (size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      // A letter the pattern would read as a field is quoted.
      if (IsPatternLetter(format[i])) {
        out += '\'';
        out += format[i];
        out += '\'';
      } else {
        out += format[i];
      }
      ++i;
      continue;
    }
    const TConversion c = ReadConversion(format, i);
    i += c.Length;
    const bool unpadded = c.Flag == '-' || c.Flag == '_';
    switch (c.Letter) {
    case 'd': out += unpadded ? "d" : "dd"; break;
    case 'e': out += "d"; break;
    case 'm': out += unpadded ? "M" : "MM"; break;
    case 'Y': out += c.Modifier == 'E' ? "gg yy" : "yyyy"; break;
    case 'y': out += "yy"; break;
    case 'C': out += c.Modifier == 'E' ? "gg" : ""; break;
    case 'b':
    case 'h': out += "MMM"; break;
    case 'B': out += "MMMM"; break;
    case 'a': out += "ddd"; break;
    case 'A': out += "dddd"; break;
    case 'D': out += "MM/dd/yy"; break;
    case 'F': out += "yyyy-MM-dd"; break;
    case 'n':
    case 't': out += ' '; break;
    case '%': out += '%'; break;
    default: break; // nothing a short date shows
    }
  }
  return out;
}

std::uint32_t LocaleIdFromName(std::string_view name) {
  const size_t end = name.find_first_of("_.@");
  const std::string code = LowerAscii(name.substr(0, end));
  for (const TLanguage& language : kLanguages)
    if (code == language.Code) return language.Primary | (1u << 10); // default sub-language
  return 0;
}

TLocaleItems ReadLocaleItems(const std::string& localeName) {
  TLocaleItems items;
  const TLocale loc(localeName);
  if (!loc.Valid()) return items;

  const std::string timeName = loc.Raw(_NL_LOCALE_NAME(LC_TIME));
  const std::string numericName = loc.Raw(_NL_LOCALE_NAME(LC_NUMERIC));
  const std::string timeCodeset = CodesetOf(timeName.c_str());
  const std::string numericCodeset = CodesetOf(numericName.c_str());
  auto timeItem = [&](nl_item item) { return ToCp1251(loc.Raw(item), timeCodeset.c_str()); };

  items.LocaleId = LocaleIdFromName(timeName);
  // The C library's multibyte sets are not double-byte code pages; era
  // calendars therefore stay off.
  items.IsDbcs = false;
  items.CalendarType = 1;

  const std::string dateFormat = timeItem(D_FMT);
  items.ShortDate = DateFormatToPattern(dateFormat);
  items.DateDelimiter = DateDelimiterFromFormat(dateFormat);

  const TTimeItems time = TimeItemsFromFormat(ExpandTimeFormat(timeItem(T_FMT), timeItem(T_FMT_AMPM)));
  items.TimeDelimiter = time.Delimiter;
  items.TimeLeadingZero = time.LeadingZero;
  items.TimeFormat = time.Format;
  items.TimeMarkPosition = time.MarkPosition;

  items.AmText = timeItem(AM_STR);
  items.PmText = timeItem(PM_STR);
  items.Decimal = ToCp1251(loc.Raw(RADIXCHAR), numericCodeset.c_str());
  return items;
}

void LoadLocaleFormats() { LocaleFormats = BuildLocaleFormats(ReadLocaleItems("")); }

void LoadLocaleFormatsFrom(const std::string& localeName) {
  LocaleFormats = BuildLocaleFormats(ReadLocaleItems(localeName));
}

} // namespace od
