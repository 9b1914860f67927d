#pragma once
// The one owner of JSON parsing and printing: every other module goes through
// these functions so that all text the server emits follows the same rules.
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

// Exactly one JSON value (white space around it allowed), or nothing.
std::optional<Json> parse(std::string_view text);

// One line, no white space outside strings, keys in byte order.
std::string compact(const Json& value);

// Two-space indentation, ": " after keys, "[]"/"{}" when empty, no final LF.
std::string pretty(const Json& value);

}  // namespace json_text
