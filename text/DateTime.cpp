#include "text/DateTime.h"

#include <cmath>
#include <cstdint>

namespace od {
namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Day number of 1 January 0001 in a count where that day is 1.
constexpr int kDaysToDayZero = 693'594;

} // namespace

int DaysInMonth(int year, int month) noexcept {
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kMonthDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, int& dayNumber) noexcept {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  int dayOfYear = day;
  for (int m = 1; m < month; ++m) dayOfYear += DaysInMonth(year, m);
  const int i = year - 1;
  dayNumber = i * 365 + i / 4 - i / 100 + i / 400 + dayOfYear - kDaysToDayZero;
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& time) noexcept {
  if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || second < 0 || second >= 60 || msec < 0 || msec >= 1000)
    return false;
  time = (hour * 3'600'000 + minute * 60'000 + second * 1'000 + msec) / static_cast<double>(kMSecsPerDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  int dayNumber = 0;
  if (!TryEncodeDate(year, month, day, dayNumber)) throw EConvertError("Invalid argument to date encode");
  return dayNumber;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime time = 0;
  if (!TryEncodeTime(hour, minute, second, msec, time)) throw EConvertError("Invalid argument to time encode");
  return time;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int msec) {
  const TDateTime date = EncodeDate(year, month, day);
  const TDateTime time = EncodeTime(hour, minute, second, msec);
  return date >= 0 ? date + time : date - time;
}

bool TryDecodeDateTime(TDateTime value, TDateTimeParts& parts) noexcept {
  if (!std::isfinite(value)) return false;
  double whole = std::trunc(value);
  if (whole < kMinDayNumber - 1 || whole > kMaxDayNumber + 1) return false;
  auto dayNumber = static_cast<std::int64_t>(whole);
  auto msec = std::llround(std::fabs(value - whole) * kMSecsPerDay);
  if (msec >= kMSecsPerDay) {
    msec -= kMSecsPerDay;
    dayNumber += value < 0 ? -1 : 1;
  }
  if (dayNumber < kMinDayNumber || dayNumber > kMaxDayNumber) return false;

  // Days since 1 January 0001, which is 0 here.
  std::int64_t t = dayNumber + kDaysToDayZero - 1;
  const std::int64_t y400 = t / 146'097;
  t %= 146'097;
  std::int64_t y100 = t / 36'524;
  t %= 36'524;
  if (y100 == 4) { // the last day of a 400-year cycle
    y100 = 3;
    t += 36'524;
  }
  const std::int64_t y4 = t / 1'461;
  t %= 1'461;
  std::int64_t y1 = t / 365;
  t %= 365;
  if (y1 == 4) { // 31 December of a leap year
    y1 = 3;
    t += 365;
  }
  parts.Year = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  int dayOfYear = static_cast<int>(t); // from 0
  parts.Month = 1;
  while (dayOfYear >= DaysInMonth(parts.Year, parts.Month)) {
    dayOfYear -= DaysInMonth(parts.Year, parts.Month);
    ++parts.Month;
  }
  parts.Day = dayOfYear + 1;

  parts.Hour = static_cast<int>(msec / 3'600'000);
  parts.Minute = static_cast<int>(msec / 60'000 % 60);
  parts.Second = static_cast<int>(msec / 1'000 % 60);
  parts.MSec = static_cast<int>(msec % 1'000);
  return true;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts parts;
  if (!TryDecodeDateTime(value, parts)) throw EConvertError("Invalid argument to date decode");
  return parts;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  const TDateTimeParts parts = DecodeDateTime(value);
  year = parts.Year;
  month = parts.Month;
  day = parts.Day;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
  const TDateTimeParts parts = DecodeDateTime(value);
  hour = parts.Hour;
  minute = parts.Minute;
  second = parts.Second;
  msec = parts.MSec;
}

std::string FormatIsoDateTime(TDateTime value) {
  TDateTimeParts p;
  if (!TryDecodeDateTime(value, p)) return "invalid";
  return Format("%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.MSec);
}

} // namespace od
