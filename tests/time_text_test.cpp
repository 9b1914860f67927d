#include "time_text.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace {

using std::chrono::nanoseconds;
using std::chrono::system_clock;

system_clock::time_point at(std::int64_t ns) {
  return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(nanoseconds(ns)));
}

TEST(TimeText, ReadsDateTimesWithTheirOffsets) {
  struct Case {
    std::string text;
    std::int64_t ms;
  };
  const Case cases[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"1970-01-01t00:00:00z", 0},
      {"1970-01-01T00:00:00+00:00", 0},
      {"1970-01-01T00:00:00-00:00", 0},
      {"2024-03-01T10:00:00Z", 1709287200000},
      {"2024-03-01T12:00:00+02:00", 1709287200000},  // two hours east is two hours earlier
      {"2024-02-29T23:30:00-05:30", 1709269200000},  // west of UTC, across the month end
      {"2024-03-01T00:00:00+23:59", 1709251200000 - 86340000},
      {"2000-02-29T00:00:00Z", 951782400000},
      {"2024-06-15T08:45:30.250Z", 1718441130250},
      {"2016-12-31T23:59:60Z", 1483228800000},  // a leap second runs into the next one
      {"2016-12-31T23:59:60.5Z", 1483228800500},
      {"0000-01-01T00:00:00Z", -62167219200000},
      {"0001-01-01T00:00:00Z", -62135596800000},
      {"9999-12-31T23:59:59.999Z", 253402300799999},
      {"9999-12-31T23:59:59.999-23:59", 253402300799999 + 86340000},
      {"1969-07-20T20:17:40Z", -14182940000},
  };
  for (const auto& c : cases) EXPECT_EQ(time_text::milliseconds(c.text), c.ms) << c.text;
}

TEST(TimeText, FractionsAreTruncatedToTheEarlierMillisecond) {
  struct Case {
    std::string fraction;
    std::int64_t ms;
  };
  const Case cases[] = {
      {".5", 500},         {".12", 120},         {".123", 123},         {".1239", 123},
      {".99999", 999},     {".999999", 999},     {".0009999", 0},       {".12345678", 123},
      {".123456789", 123}, {".1239999999", 123}, {".99999999999", 999}, {".000999999999", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(time_text::milliseconds("1970-01-01T00:00:07" + c.fraction + "Z"), 7000 + c.ms) << c.fraction;
  }
}

TEST(TimeText, InstantsBeforeTheEpochFloor) {
  struct Case {
    std::string text;
    std::int64_t ms;
  };
  const Case cases[] = {
      {"1969-12-31T23:59:59.9995Z", -1},  // toward zero would give 0
      {"1969-12-31T23:59:59.999Z", -1},  {"1969-12-31T23:59:59.001Z", -999},     {"1969-12-31T23:59:59.0001Z", -1000},
      {"1969-12-31T23:59:59Z", -1000},   {"1970-01-01T00:59:59.9999+01:00", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(time_text::milliseconds(c.text), c.ms) << c.text;
}

TEST(TimeText, RefusesWhatIsNotAnRfc3339DateTime) {
  const std::string invalid[] = {
      "",
      "garbage",
      "2024-01-01",
      "2024-01-01T00:00:00",   // no offset
      "2024-01-01T00:00Z",     // no seconds
      "2024-01-01 00:00:00Z",  // blank for "T"
      "2024-01-01X00:00:00Z",
      " 2024-01-01T00:00:00Z",
      "2024-01-01T00:00:00Z ",
      "2024-01-01T00:00:00Z\n",
      "2024-01-01T00:00:00ZZ",
      "2024-01-01T00:00:00.Z",  // fraction without digits
      "2024-01-01T00:00:00,5Z",
      "2024-1-01T00:00:00Z",
      "24-01-01T00:00:00Z",
      "+2024-01-01T00:00:00Z",
      "12024-01-01T00:00:00Z",
      "2024-01-01T0:00:00Z",
      "2023-02-29T00:00:00Z",  // not a leap year
      "1900-02-29T00:00:00Z",  // centuries are not leap years
      "2024-02-30T00:00:00Z",
      "2024-04-31T00:00:00Z",
      "2024-13-01T00:00:00Z",
      "2024-00-10T00:00:00Z",
      "2024-01-00T00:00:00Z",
      "2024-01-32T00:00:00Z",
      "2024-01-01T24:00:00Z",
      "2024-01-01T23:60:00Z",
      "2024-01-01T23:59:61Z",
      "2024-01-01T00:00:00+24:00",
      "2024-01-01T00:00:00+01:60",
      "2024-01-01T00:00:00+0100",
      "2024-01-01T00:00:00+01",
      "2024-01-01T00:00:00+1:00",
      "2024-01-01T00:00:00UTC",
      "2024-01-01T00:00:00-",
      "2024-0a-01T00:00:00Z",
      "\xef\xbc\x92\x30\x32\x34-01-01T00:00:00Z",  // full-width digit
      std::string("2024-01-01T00:00:00Z\0", 21),
  };
  for (const auto& text : invalid) EXPECT_EQ(time_text::milliseconds(text), std::nullopt) << text;
}

TEST(TimeText, PrintsUtcWithTheShortestExactFraction) {
  constexpr std::int64_t day = 19782LL * 86400 * 1'000'000'000;  // 2024-02-29
  constexpr std::int64_t clock = ((13LL * 60 + 5) * 60 + 9) * 1'000'000'000;
  struct Case {
    std::int64_t ns;
    std::string text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00+00:00"},
      {day + clock, "2024-02-29T13:05:09+00:00"},
      {day + clock + 1'000'000, "2024-02-29T13:05:09.001+00:00"},
      {day + clock + 120'000'000, "2024-02-29T13:05:09.120+00:00"},
      {day + clock + 123'456'000, "2024-02-29T13:05:09.123456+00:00"},
      {day + clock + 100'000, "2024-02-29T13:05:09.000100+00:00"},
      {day + clock + 123'456'789, "2024-02-29T13:05:09.123456789+00:00"},
      {day + clock + 1, "2024-02-29T13:05:09.000000001+00:00"},
      {-1, "1969-12-31T23:59:59.999999999+00:00"},
      {-1'000'000'000, "1969-12-31T23:59:59+00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(time_text::utc(at(c.ns)), c.text) << c.ns;
}

TEST(TimeText, EpochMillisecondsDropTheRemainder) {
  struct Case {
    std::int64_t ns;
    std::int64_t ms;
  };
  const Case cases[] = {
      {0, 0}, {999'999, 0}, {1'500'999'999, 1500}, {-1, -1}, {-1'000'000, -1}, {-1'000'001, -2},
  };
  for (const auto& c : cases) EXPECT_EQ(time_text::epoch_milliseconds(at(c.ns)), c.ms) << c.ns;
}

TEST(TimeText, PrintedInstantsReadBackToTheirMilliseconds) {
  const std::int64_t instants[] = {0, 1'709'287'200'123'456'789, -14'182'940'000'000'001, 951'782'399'999'999'999};
  for (std::int64_t ns : instants) {
    const auto instant = at(ns);
    EXPECT_EQ(time_text::milliseconds(time_text::utc(instant)), time_text::epoch_milliseconds(instant)) << ns;
  }
  const auto now = system_clock::now();
  EXPECT_EQ(time_text::milliseconds(time_text::utc(now)), time_text::epoch_milliseconds(now));
}

}  // namespace
