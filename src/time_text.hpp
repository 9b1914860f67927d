#pragma once
// RFC 3339 date-times: the service's instants in, the server's clock out.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace time_text {

// A date-time with "Z" or a numeric offset as milliseconds since the Unix
// epoch (UTC), taken toward the earlier millisecond; nothing when the text is
// not an RFC 3339 date-time.
std::optional<std::int64_t> milliseconds(std::string_view text);

// The instant in UTC as "YYYY-MM-DDTHH:MM:SS" with a fraction of 3, 6 or 9
// digits only when it is not zero, then "+00:00".
std::string utc(std::chrono::system_clock::time_point instant);

// Whole milliseconds since the Unix epoch, the remainder dropped.
std::int64_t epoch_milliseconds(std::chrono::system_clock::time_point instant);

}  // namespace time_text
