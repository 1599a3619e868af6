// TDateTime and time-stamp helpers.
//
// A TDateTime is a double: whole days since 1899-12-30, the fraction being
// the time of day. For a negative value the integer part is still the day
// and the fraction is read as its absolute value: -1.25 is 1899-12-29 06:00.
// A time stamp (`TTimeStamp`) counts days from 0001-01-01 (that day is 1,
// so TDateTime 0 is day 693594) and milliseconds since midnight.
//
// Encoding errors raise EConvertError; the Try forms return false instead.
// `Now`, `Date` and `Time` read the wall clock in local time; they are for
// user-visible stamps only, never for deadlines.
#pragma once

#include <cstdint>

namespace qd {

using TDateTime = double;

constexpr int32_t kHoursPerDay = 24;
constexpr int32_t kMinsPerDay = kHoursPerDay * 60;
constexpr int32_t kSecsPerDay = kMinsPerDay * 60;
constexpr int32_t kMSecsPerDay = kSecsPerDay * 1000;
constexpr int32_t kDateDelta = 693594;                // days from 0001-01-01 (day 1) to 1899-12-30
constexpr TDateTime kMinDateTime = -693593.0;         // 0001-01-01
constexpr TDateTime kMaxDateTime = 2958465.99999999;  // 9999-12-31 23:59:59.999

struct TTimeStamp {
  int32_t Time = 0;  // milliseconds since midnight
  int32_t Date = 0;  // one plus the number of days since 0001-01-01
};

bool IsLeapYear(uint16_t aYear);
uint16_t DaysInAMonth(uint16_t aYear, uint16_t aMonth);

[[nodiscard]] bool TryEncodeDate(uint16_t aYear, uint16_t aMonth, uint16_t aDay, TDateTime& aDate);
TDateTime EncodeDate(uint16_t aYear, uint16_t aMonth, uint16_t aDay);
[[nodiscard]] bool TryEncodeTime(uint16_t aHour, uint16_t aMin, uint16_t aSec, uint16_t aMSec, TDateTime& aTime);
TDateTime EncodeTime(uint16_t aHour, uint16_t aMin, uint16_t aSec, uint16_t aMSec);
[[nodiscard]] bool TryEncodeDateTime(uint16_t aYear, uint16_t aMonth, uint16_t aDay, uint16_t aHour, uint16_t aMinute,
                                     uint16_t aSecond, uint16_t aMilliSecond, TDateTime& aValue);
TDateTime EncodeDateTime(uint16_t aYear, uint16_t aMonth, uint16_t aDay, uint16_t aHour, uint16_t aMinute,
                         uint16_t aSecond, uint16_t aMilliSecond);

// Out-of-range values (before 0001-01-01 or after 9999-12-31) decode as
// all zeros, as the platform does; DecodeDateFully then returns false.
void DecodeDate(TDateTime aDate, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay);
bool DecodeDateFully(TDateTime aDate, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay, uint16_t& aDOW);
void DecodeTime(TDateTime aTime, uint16_t& aHour, uint16_t& aMin, uint16_t& aSec, uint16_t& aMSec);
void DecodeDateTime(TDateTime aValue, uint16_t& aYear, uint16_t& aMonth, uint16_t& aDay, uint16_t& aHour,
                    uint16_t& aMinute, uint16_t& aSecond, uint16_t& aMilliSecond);

// 1 = Sunday .. 7 = Saturday.
uint16_t DayOfWeek(TDateTime aDate);

// Joins a date and a time of day under the negative-value rule.
TDateTime ComposeDateTime(TDateTime aDate, TDateTime aTime);

// Raises EConvertError for NaN, infinities and values whose milliseconds do
// not fit the time stamp.
TTimeStamp DateTimeToTimeStamp(TDateTime aDateTime);
[[nodiscard]] bool TryDateTimeToTimeStamp(TDateTime aDateTime, TTimeStamp& aTimeStamp);
// Raises EConvertError "'%d.%d' is not a valid timestamp" for a negative time,
// a time of a day or more, or a date below 1.
TDateTime TimeStampToDateTime(const TTimeStamp& aTimeStamp);
TTimeStamp MSecsToTimeStamp(int64_t aMSecs);
int64_t TimeStampToMSecs(const TTimeStamp& aTimeStamp);

TDateTime Now();
TDateTime Date();
TDateTime Time();

}  // namespace qd
