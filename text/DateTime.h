#pragma once

#include <string>

#include "base/Exception.h"

// The program's date-time value and the calendar arithmetic around it.
namespace od {

// Days since 30 December 1899 (day 0) in the integer part, the time of day as
// the fraction (milliseconds since midnight / 86,400,000). Before day 0 the
// time is subtracted from the day number: -1.25 is 29 December 1899, 06:00.
using TDateTime = double;

// A text that does not convert to the value asked for.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

inline constexpr int kMSecsPerDay = 86'400'000;
// Day number of 1 January 0001 counted from day 0; the first year the
// calendar arithmetic accepts.
inline constexpr int kMinDayNumber = -693'593;
// Day number of 31 December 9999.
inline constexpr int kMaxDayNumber = 2'958'465;

constexpr bool IsLeapYear(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }
// 0 for a month outside 1..12.
int DaysInMonth(int year, int month) noexcept;

// Year 1..9999, month 1..12, day 1..length of the month; false otherwise.
bool TryEncodeDate(int year, int month, int day, int& dayNumber) noexcept;
// Hour below 24, minutes and seconds below 60, milliseconds below 1000.
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& time) noexcept;
// The raising forms: EConvertError for arguments outside those ranges.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
// Date and time joined by the sign rule of TDateTime.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec);

struct TDateTimeParts {
  int Year = 0, Month = 0, Day = 0;
  int Hour = 0, Minute = 0, Second = 0, MSec = 0;
  friend bool operator==(const TDateTimeParts&, const TDateTimeParts&) = default;
};

// Splits a value into calendar parts, the time rounded to the nearest
// millisecond (a time that rounds up to 24:00 moves to the next day). False
// for a value that is not finite or lies outside the years 1..9999.
bool TryDecodeDateTime(TDateTime value, TDateTimeParts& parts) noexcept;
// The raising form (EConvertError).
TDateTimeParts DecodeDateTime(TDateTime value);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);

// "yyyy-mm-dd hh:nn:ss.zzz", for messages and test output; "invalid" for a
// value TryDecodeDateTime rejects.
std::string FormatIsoDateTime(TDateTime value);

} // namespace od
