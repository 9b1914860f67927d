#pragma once
// The one owner of JSON parsing and printing, so that all text the server
// emits follows the same rules. One exception, for speed: server.cpp writes
// the reply envelope by hand around a result these functions printed.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

using Json = nlohmann::json;

template <typename T>
using Result = std::expected<T, std::string>;

namespace json_text {

// Deeper nesting than this counts as text that does not parse: the JSON
// library copies and prints recursively, so unbounded depth would overflow
// the stack.
inline constexpr int max_depth = 128;

// Exactly one JSON value (white space around it allowed), or nothing; also
// nothing when the text holds more than max_values values (every array
// element and object member counts, and the outermost value).
std::optional<Json> parse(std::string_view text, std::size_t max_values = SIZE_MAX);

// One line, no white space outside strings, keys in byte order.
std::string compact(const Json& value);

// Two-space indentation, ": " after keys, "[]"/"{}" when empty, no final LF.
std::string pretty(const Json& value);

// The same texts, or nothing when they would be longer than max_bytes:
// printing stops there, so a text that would be gigabytes never is.
std::optional<std::string> compact(const Json& value, std::size_t max_bytes);
std::optional<std::string> pretty(const Json& value, std::size_t max_bytes);

}  // namespace json_text
