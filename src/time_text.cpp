#include "time_text.hpp"

#include <cstdio>

namespace time_text {

namespace {

using std::chrono::nanoseconds;
using std::chrono::system_clock;

constexpr std::int64_t ms_per_second = 1000;
constexpr std::int64_t ms_per_minute = 60 * ms_per_second;
constexpr std::int64_t ms_per_hour = 60 * ms_per_minute;
constexpr std::int64_t ms_per_day = 24 * ms_per_hour;

// Reads the text left to right; libstdc++ 12 has no std::chrono::parse, so the
// RFC 3339 grammar is taken by hand.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool done() const { return at_ == text_.size(); }

  // Exactly `count` ASCII digits as a number.
  std::optional<int> digits(std::size_t count) {
    if (text_.size() - at_ < count) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = text_[at_ + i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    at_ += count;
    return value;
  }

  // One of the given characters, which is consumed.
  std::optional<char> one_of(std::string_view choices) {
    if (done() || choices.find(text_[at_]) == std::string_view::npos) return std::nullopt;
    return text_[at_++];
  }

  // One or more digits read as nanoseconds; digits past the ninth are dropped.
  std::optional<std::int64_t> fraction() {
    std::int64_t value = 0;
    std::size_t count = 0;
    while (!done() && text_[at_] >= '0' && text_[at_] <= '9') {
      if (count < 9) value = value * 10 + (text_[at_] - '0');
      ++count;
      ++at_;
    }
    if (count == 0) return std::nullopt;
    for (; count < 9; ++count) value *= 10;
    return value;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// Days since the epoch of a real calendar date.
std::optional<std::int64_t> epoch_day(Cursor& in) {
  const auto year = in.digits(4);
  if (!year || !in.one_of("-")) return std::nullopt;
  const auto month = in.digits(2);
  if (!month || !in.one_of("-")) return std::nullopt;
  const auto day = in.digits(2);
  if (!day) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{*year}, std::chrono::month(*month), std::chrono::day(*day)};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days{date}.time_since_epoch().count();
}

// Milliseconds into the day, and the nanoseconds below them; a leap second
// (60) simply runs on into the next second.
std::optional<std::int64_t> day_time(Cursor& in) {
  const auto hour = in.digits(2);
  if (!hour || *hour > 23 || !in.one_of(":")) return std::nullopt;
  const auto minute = in.digits(2);
  if (!minute || *minute > 59 || !in.one_of(":")) return std::nullopt;
  const auto second = in.digits(2);
  if (!second || *second > 60) return std::nullopt;
  std::int64_t nanos = 0;
  if (in.one_of(".")) {
    const auto part = in.fraction();
    if (!part) return std::nullopt;
    nanos = *part;
  }
  return *hour * ms_per_hour + *minute * ms_per_minute + *second * ms_per_second + nanos / 1'000'000;
}

// How far the local clock runs ahead of UTC.
std::optional<std::int64_t> offset(Cursor& in) {
  const auto sign = in.one_of("Zz+-");
  if (!sign) return std::nullopt;
  if (*sign == 'Z' || *sign == 'z') return 0;
  const auto hour = in.digits(2);
  if (!hour || *hour > 23 || !in.one_of(":")) return std::nullopt;
  const auto minute = in.digits(2);
  if (!minute || *minute > 59) return std::nullopt;
  const std::int64_t ahead = *hour * ms_per_hour + *minute * ms_per_minute;
  return *sign == '-' ? -ahead : ahead;
}

// The fewest of 3, 6 or 9 digits that show the sub-second part exactly.
std::string fraction(nanoseconds part) {
  const long long count = part.count();
  char text[24];  // room for any long long, so no printf can be cut short
  if (count == 0) return "";
  if (count % 1'000'000 == 0) {
    std::snprintf(text, sizeof text, ".%03lld", count / 1'000'000);
  } else if (count % 1'000 == 0) {
    std::snprintf(text, sizeof text, ".%06lld", count / 1'000);
  } else {
    std::snprintf(text, sizeof text, ".%09lld", count);
  }
  return text;
}

}  // namespace

// Four-digit years keep every result far inside int64 milliseconds, and the
// sub-second part is never negative, so plain sums already floor toward the
// earlier millisecond before 1970.
std::optional<std::int64_t> milliseconds(std::string_view text) {
  Cursor in(text);
  const auto day = epoch_day(in);
  if (!day || !in.one_of("Tt")) return std::nullopt;
  const auto time = day_time(in);
  if (!time) return std::nullopt;
  const auto ahead = offset(in);
  if (!ahead || !in.done()) return std::nullopt;
  return *day * ms_per_day + *time - *ahead;
}

std::string utc(system_clock::time_point instant) {
  const auto exact = std::chrono::time_point_cast<nanoseconds>(instant);
  const auto day = std::chrono::floor<std::chrono::days>(exact);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss clock{exact - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text + fraction(clock.subseconds()) + "+00:00";
}

std::int64_t epoch_milliseconds(system_clock::time_point instant) {
  return std::chrono::floor<std::chrono::milliseconds>(instant).time_since_epoch().count();
}

}  // namespace time_text
