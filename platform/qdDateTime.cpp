#include "platform/qdDateTime.h"

#include <time.h>

#include <cmath>
#include <string>

#include "platform/qdMath.h"
#include "platform/qdSysUtils.h"

namespace qd {

namespace {

constexpr uint16_t kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Days from 0001-01-01 to 1 January of aYear.
int32_t daysBeforeYear(int32_t aYear) {
  const int32_t y = aYear - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

[[noreturn]] void raiseDateEncode() { throw EConvertError(std::string_view("Invalid argument to date encode")); }
[[noreturn]] void raiseTimeEncode() { throw EConvertError(std::string_view("Invalid argument to time encode")); }

// Time-stamp date (day 1 = 0001-01-01) to its calendar date; false outside 1..9999.
bool decodeTimeStampDate(int32_t aDate, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay) {
  if (aDate <= 0 || aDate > daysBeforeYear(10000)) return false;
  // Estimate the year, then correct it by at most one in either direction.
  int32_t year = static_cast<int32_t>(static_cast<int64_t>(aDate - 1) * 400 / 146097) + 1;
  while (daysBeforeYear(year) >= aDate) --year;
  while (daysBeforeYear(year + 1) < aDate) ++year;
  int32_t dayOfYear = aDate - daysBeforeYear(year);  // 1-based
  const auto& months = kMonthDays[IsLeapYear(static_cast<uint16_t>(year)) ? 1 : 0];
  int month = 0;
  while (dayOfYear > months[month]) dayOfYear -= months[month++];
  aYear = static_cast<uint16_t>(year);
  aMonth = static_cast<uint16_t>(month + 1);
  aDay = static_cast<uint16_t>(dayOfYear);
  return true;
}

}  // namespace

bool IsLeapYear(uint16_t aYear) { return aYear % 4 == 0 && (aYear % 100 != 0 || aYear % 400 == 0); }

uint16_t DaysInAMonth(uint16_t aYear, uint16_t aMonth) {
  if (aMonth < 1 || aMonth > 12) return 0;
  return kMonthDays[IsLeapYear(aYear) ? 1 : 0][aMonth - 1];
}

bool TryEncodeDate(uint16_t aYear, uint16_t aMonth, uint16_t aDay, TDateTime& aDate) {
  if (aYear < 1 || aYear > 9999 || aMonth < 1 || aMonth > 12) return false;
  const auto& months = kMonthDays[IsLeapYear(aYear) ? 1 : 0];
  if (aDay < 1 || aDay > months[aMonth - 1]) return false;
  int32_t day = aDay;
  for (int m = 0; m < aMonth - 1; ++m) day += months[m];
  aDate = static_cast<TDateTime>(daysBeforeYear(aYear) + day - kDateDelta);
  return true;
}

TDateTime EncodeDate(uint16_t aYear, uint16_t aMonth, uint16_t aDay) {
  TDateTime result;
  if (!TryEncodeDate(aYear, aMonth, aDay, result)) raiseDateEncode();
  return result;
}

bool TryEncodeTime(uint16_t aHour, uint16_t aMin, uint16_t aSec, uint16_t aMSec, TDateTime& aTime) {
  if (aHour >= 24 || aMin >= 60 || aSec >= 60 || aMSec >= 1000) return false;
  const int32_t msecs = ((aHour * 60 + aMin) * 60 + aSec) * 1000 + aMSec;
  aTime = static_cast<TDateTime>(msecs) / kMSecsPerDay;
  return true;
}

TDateTime EncodeTime(uint16_t aHour, uint16_t aMin, uint16_t aSec, uint16_t aMSec) {
  TDateTime result;
  if (!TryEncodeTime(aHour, aMin, aSec, aMSec, result)) raiseTimeEncode();
  return result;
}

bool TryEncodeDateTime(uint16_t aYear, uint16_t aMonth, uint16_t aDay, uint16_t aHour, uint16_t aMinute,
                       uint16_t aSecond, uint16_t aMilliSecond, TDateTime& aValue) {
  TDateTime date, time;
  if (!TryEncodeDate(aYear, aMonth, aDay, date) || !TryEncodeTime(aHour, aMinute, aSecond, aMilliSecond, time))
    return false;
  aValue = ComposeDateTime(date, time);
  return true;
}

TDateTime EncodeDateTime(uint16_t aYear, uint16_t aMonth, uint16_t aDay, uint16_t aHour, uint16_t aMinute,
                         uint16_t aSecond, uint16_t aMilliSecond) {
  TDateTime result;
  if (!TryEncodeDateTime(aYear, aMonth, aDay, aHour, aMinute, aSecond, aMilliSecond, result)) {
    const std::string text = "'" + std::to_string(aYear) + "/" + std::to_string(aMonth) + "/" + std::to_string(aDay) +
                             " " + std::to_string(aHour) + ":" + std::to_string(aMinute) + ":" +
                             std::to_string(aSecond) + "." + std::to_string(aMilliSecond) +
                             "' is not a valid date and time";
    throw EConvertError(std::string_view(text));
  }
  return result;
}

bool DecodeDateFully(TDateTime aDate, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay, uint16_t& aDOW) {
  aYear = aMonth = aDay = aDOW = 0;
  TTimeStamp stamp;
  if (!TryDateTimeToTimeStamp(aDate, stamp)) return false;
  if (!decodeTimeStampDate(stamp.Date, aYear, aMonth, aDay)) return false;
  aDOW = static_cast<uint16_t>(stamp.Date % 7 + 1);
  return IsLeapYear(aYear);
}

void DecodeDate(TDateTime aDate, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay) {
  uint16_t dayOfWeek;
  (void)DecodeDateFully(aDate, aYear, aMonth, aDay, dayOfWeek);  // the leap-year flag is not wanted here
}

void DecodeTime(TDateTime aTime, uint16_t& aHour, uint16_t& aMin, uint16_t& aSec, uint16_t& aMSec) {
  aHour = aMin = aSec = aMSec = 0;
  TTimeStamp stamp;
  if (!TryDateTimeToTimeStamp(aTime, stamp)) return;
  int32_t msecs = stamp.Time;
  aMSec = static_cast<uint16_t>(msecs % 1000);
  msecs /= 1000;
  aSec = static_cast<uint16_t>(msecs % 60);
  msecs /= 60;
  aMin = static_cast<uint16_t>(msecs % 60);
  aHour = static_cast<uint16_t>(msecs / 60);
}

void DecodeDateTime(TDateTime aValue, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay, uint16_t& aHour,
                    uint16_t& aMinute, uint16_t& aSecond, uint16_t& aMilliSecond) {
  DecodeDate(aValue, aYear, aMonth, aDay);
  DecodeTime(aValue, aHour, aMinute, aSecond, aMilliSecond);
}

uint16_t DayOfWeek(TDateTime aDate) { return static_cast<uint16_t>(DateTimeToTimeStamp(aDate).Date % 7 + 1); }

TDateTime ComposeDateTime(TDateTime aDate, TDateTime aTime) {
  const double day = std::trunc(aDate);
  const double time = std::fabs(aTime - std::trunc(aTime));
  return day < 0 ? day - time : day + time;
}

bool TryDateTimeToTimeStamp(TDateTime aDateTime, TTimeStamp& aTimeStamp) {
  // The milliseconds are rounded as a whole, then split: the integer part is
  // the day, the rest (taken as absolute) the time of day.
  int64_t msecs;
  if (!qdTryRound(aDateTime * kMSecsPerDay, msecs)) return false;
  const int64_t days = msecs / kMSecsPerDay;  // toward zero
  const int64_t date = days + kDateDelta;
  if (date < INT32_MIN || date > INT32_MAX) return false;
  aTimeStamp.Date = static_cast<int32_t>(date);
  aTimeStamp.Time = static_cast<int32_t>((msecs < 0 ? -msecs : msecs) % kMSecsPerDay);
  return true;
}

TTimeStamp DateTimeToTimeStamp(TDateTime aDateTime) {
  TTimeStamp result;
  if (!TryDateTimeToTimeStamp(aDateTime, result))
    throw EConvertError(std::string_view("Invalid date/time value for a timestamp"));
  return result;
}

TDateTime TimeStampToDateTime(const TTimeStamp& aTimeStamp) {
  if (aTimeStamp.Time < 0 || aTimeStamp.Time >= kMSecsPerDay || aTimeStamp.Date <= 0) {
    const std::string text =
        "'" + std::to_string(aTimeStamp.Date) + "." + std::to_string(aTimeStamp.Time) + "' is not a valid timestamp";
    throw EConvertError(std::string_view(text));
  }
  return ComposeDateTime(static_cast<TDateTime>(aTimeStamp.Date - kDateDelta),
                         static_cast<TDateTime>(aTimeStamp.Time) / kMSecsPerDay);
}

TTimeStamp MSecsToTimeStamp(int64_t aMSecs) {
  const int64_t date = aMSecs / kMSecsPerDay;
  if (aMSecs < 0 || date > INT32_MAX) {
    throw EConvertError(std::string_view("'" + std::to_string(aMSecs) + "' is not a valid timestamp"));
  }
  return TTimeStamp{static_cast<int32_t>(aMSecs % kMSecsPerDay), static_cast<int32_t>(date)};
}

int64_t TimeStampToMSecs(const TTimeStamp& aTimeStamp) {
  return static_cast<int64_t>(aTimeStamp.Date) * kMSecsPerDay + aTimeStamp.Time;
}

TDateTime Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  TDateTime date = EncodeDate(static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                              static_cast<uint16_t>(local.tm_mday));
  // A leap second (tm_sec 60) is folded into the last second of the minute.
  const uint16_t second = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
  const TDateTime time = EncodeTime(static_cast<uint16_t>(local.tm_hour), static_cast<uint16_t>(local.tm_min), second,
                                    static_cast<uint16_t>(now.tv_nsec / 1000000));
  return ComposeDateTime(date, time);
}

TDateTime Date() { return std::trunc(Now()); }

TDateTime Time() {
  const TDateTime now = Now();
  return now - std::trunc(now);
}

}  // namespace qd
