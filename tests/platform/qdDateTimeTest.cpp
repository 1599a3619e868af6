#include "platform/qdDateTime.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>

#include "platform/qdSysUtils.h"

namespace qd {
namespace {

TEST(DateTimeTest, ZeroIsNativeDay693594) {
  const TTimeStamp stamp = DateTimeToTimeStamp(0);
  EXPECT_EQ(stamp.Date, 693594);
  EXPECT_EQ(stamp.Time, 0);
  EXPECT_EQ(TimeStampToDateTime(TTimeStamp{0, 693594}), 0.0);
  EXPECT_EQ(TimeStampToDateTime(TTimeStamp{0, 1}), EncodeDate(1, 1, 1));
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
}

TEST(DateTimeTest, EncodeKnownDates) {
  struct Case {
    uint16_t y, m, d;
    double expected;
  };
  const Case cases[] = {
      {1, 1, 1, -693593},  {1899, 12, 31, 1},    {1900, 1, 1, 2},         {1900, 3, 1, 61},
      {2000, 1, 1, 36526}, {2024, 2, 29, 45351}, {9999, 12, 31, 2958465},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeDate(c.y, c.m, c.d), c.expected) << c.y << "-" << c.m << "-" << c.d;
    uint16_t y, m, d;
    DecodeDate(c.expected, y, m, d);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(d, c.d);
  }
}

TEST(DateTimeTest, InvalidDatesAndTimesAreRefused) {
  struct Case {
    uint16_t y, m, d;
  };
  const Case dates[] = {{2023, 2, 29}, {1900, 2, 29}, {0, 1, 1},     {10000, 1, 1},
                        {2024, 13, 1}, {2024, 0, 1},  {2024, 4, 31}, {2024, 1, 0}};
  for (const Case& c : dates) {
    TDateTime value = 123;
    EXPECT_FALSE(TryEncodeDate(c.y, c.m, c.d, value)) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(value, 123);
    EXPECT_THROW(EncodeDate(c.y, c.m, c.d), EConvertError);
  }
  TDateTime time;
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, time));
  EXPECT_FALSE(TryEncodeTime(0, 60, 0, 0, time));
  EXPECT_FALSE(TryEncodeTime(0, 0, 60, 0, time));
  EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, time));
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeDateTime(2023, 2, 29, 0, 0, 0, 0), EConvertError);
}

TEST(DateTimeTest, DecodeEncodeRoundTripOverTheWholeRange) {
  for (int day = -693593; day <= 2958465; day += 997) {
    uint16_t y, m, d;
    DecodeDate(day, y, m, d);
    ASSERT_EQ(EncodeDate(y, m, d), day) << day;
  }
  for (int msecs = 0; msecs < kMSecsPerDay; msecs += 86399) {
    const TDateTime t = static_cast<double>(msecs) / kMSecsPerDay;
    uint16_t h, n, s, z;
    DecodeTime(t, h, n, s, z);
    ASSERT_EQ(((h * 60 + n) * 60 + s) * 1000 + z, msecs);
  }
  uint16_t h, n, s, z;
  DecodeTime(EncodeTime(23, 59, 59, 999), h, n, s, z);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + z, 235959999);
}

TEST(DateTimeTest, NegativeValuesKeepTheDayAndTakeTheFractionAsAbsolute) {
  // -1.25 is 1899-12-29 06:00, not 1899-12-28 18:00.
  const TDateTime value = -1.25;
  uint16_t y, m, d, h, n, s, z;
  DecodeDateTime(value, y, m, d, h, n, s, z);
  EXPECT_EQ(y, 1899);
  EXPECT_EQ(m, 12);
  EXPECT_EQ(d, 29);
  EXPECT_EQ(h, 6);
  EXPECT_EQ(n, 0);
  const TTimeStamp stamp = DateTimeToTimeStamp(value);
  EXPECT_EQ(stamp.Date, 693593);
  EXPECT_EQ(stamp.Time, 6 * 3600 * 1000);
  EXPECT_EQ(TimeStampToDateTime(stamp), value);
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), value);
  EXPECT_EQ(ComposeDateTime(-3, 0.75), -3.75);
  EXPECT_EQ(ComposeDateTime(3, 0.75), 3.75);
}

TEST(DateTimeTest, TimeStampChecks) {
  const TTimeStamp invalid[] = {{-1, 1}, {kMSecsPerDay, 1}, {0, 0}, {0, -5}};
  for (const TTimeStamp& stamp : invalid) EXPECT_THROW(TimeStampToDateTime(stamp), EConvertError);
  try {
    (void)TimeStampToDateTime(TTimeStamp{0, 0});  // only the exception matters here
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'0.0' is not a valid timestamp");
  }
  EXPECT_THROW(DateTimeToTimeStamp(std::nan("")), EConvertError);
  EXPECT_THROW(DateTimeToTimeStamp(HUGE_VAL), EConvertError);
  EXPECT_THROW(DateTimeToTimeStamp(1e300), EConvertError);

  const int64_t msecs = int64_t{693594} * kMSecsPerDay + 43200000;
  const TTimeStamp stamp = MSecsToTimeStamp(msecs);
  EXPECT_EQ(stamp.Date, 693594);
  EXPECT_EQ(stamp.Time, 43200000);
  EXPECT_EQ(TimeStampToMSecs(stamp), msecs);
  EXPECT_EQ(TimeStampToDateTime(stamp), 0.5);
  EXPECT_THROW(MSecsToTimeStamp(-1), EConvertError);
}

TEST(DateTimeTest, OutOfRangeValuesDecodeAsZeros) {
  uint16_t y = 1, m = 1, d = 1, dow = 1;
  EXPECT_FALSE(DecodeDateFully(3e6, y, m, d, dow));
  EXPECT_EQ(y + m + d + dow, 0);
  DecodeDate(-7e5, y, m, d);
  EXPECT_EQ(y + m + d, 0);
  DecodeDate(std::nan(""), y, m, d);
  EXPECT_EQ(y + m + d, 0);
}

TEST(DateTimeTest, LeapYearsAndWeekdays) {
  struct LeapCase {
    uint16_t year;
    bool leap;
  };
  const LeapCase leaps[] = {{1900, false}, {2000, true}, {2023, false}, {2024, true}, {2100, false}, {4, true}};
  for (const LeapCase& c : leaps) EXPECT_EQ(IsLeapYear(c.year), c.leap) << c.year;
  EXPECT_EQ(DaysInAMonth(2024, 2), 29);
  EXPECT_EQ(DaysInAMonth(2023, 2), 28);

  EXPECT_EQ(DayOfWeek(0), 7);                       // 1899-12-30 was a Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(2024, 1, 1)), 2);  // Monday
  EXPECT_EQ(DayOfWeek(EncodeDate(1, 1, 1)), 2);     // Monday in the proleptic calendar
  uint16_t y, m, d, dow;
  EXPECT_TRUE(DecodeDateFully(EncodeDate(2024, 2, 29), y, m, d, dow));
  EXPECT_EQ(dow, 5);  // Thursday
}

TEST(DateTimeTest, NowFollowsTheWallClock) {
  const time_t before = time(nullptr);
  const TDateTime now = Now();
  const time_t after = time(nullptr);
  tm local{};
  localtime_r(&before, &local);
  const TDateTime expected =
      EncodeDateTime(static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
                     static_cast<uint16_t>(local.tm_mday), static_cast<uint16_t>(local.tm_hour),
                     static_cast<uint16_t>(local.tm_min), static_cast<uint16_t>(std::min(local.tm_sec, 59)), 0);
  EXPECT_NEAR(now, expected, (static_cast<double>(after - before) + 2) / kSecsPerDay);
  EXPECT_EQ(Date(), std::trunc(Now()));
  EXPECT_GE(Time(), 0);
  EXPECT_LT(Time(), 1);
}

}  // namespace
}  // namespace qd
