#pragma once

#include <functional>
#include <string_view>

#include "text/DateTime.h"
#include "text/LocaleFormats.h"

// Date-time text in the form of the user's regional settings: a date with
// its numbers in the order of the short date pattern, optionally followed by
// a time, or a time alone.
namespace od {

// Where the parser gets the current year (for two-digit years and dates
// without a year). The default reads the local clock; tests set their own.
// An empty function restores the default.
void SetCurrentYearSource(std::function<int()> source);
int CurrentYear();

// Under LocaleFormats and CurrentYear(). Never raise.
bool TryParseDateTimeText(std::string_view text, TDateTime& value);
bool TryParseTimeText(std::string_view text, TDateTime& value);
// Raises EConvertError "'<text>' is not a valid date and time".
TDateTime ParseDateTimeText(std::string_view text);

// The same under explicit settings; the current year is asked of
// `currentYear` only when a date needs it.
bool TryParseDateTimeText(std::string_view text, TDateTime& value, const TLocaleFormats& formats,
                          const std::function<int()>& currentYear);
bool TryParseTimeText(std::string_view text, TDateTime& value, const TLocaleFormats& formats);

} // namespace od
