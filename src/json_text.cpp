#include "json_text.hpp"

#include <cstring>

namespace json_text {
namespace {

// The end of the string whose first content byte is at from: the first quote
// after it with an even run of backslashes before it, or npos when the text
// ends first. memchr jumps over string content, most of a service answer.
std::size_t string_end(std::string_view text, std::size_t from) {
  for (std::size_t at = from;; ++at) {
    const void* quote = std::memchr(text.data() + at, '"', text.size() - at);
    if (!quote) return std::string_view::npos;
    at = static_cast<std::size_t>(static_cast<const char*>(quote) - text.data());
    std::size_t backslashes = 0;
    while (at - backslashes > from && text[at - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return at;
  }
}

// Written by hand: nlohmann/json offers no depth or size limit, and its
// parser callback cannot stop the parse early without exceptions. Counts
// values as 1 + commas + non-empty containers, exact for valid text. A
// closing bracket without its opening one is no JSON text: it ends the scan,
// so the depth never goes below zero.
bool within_limits(std::string_view text, std::size_t max_values) {
  std::size_t depth = 0;
  std::size_t values = 1;
  bool just_opened = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (just_opened && c != ']' && c != '}') ++values;
    just_opened = false;
    if (c == '"') {
      at = string_end(text, at + 1);
      if (at == std::string_view::npos) return true;
    } else if (c == '[' || c == '{') {
      if (++depth > static_cast<std::size_t>(max_depth)) return false;
      just_opened = true;
    } else if (c == ']' || c == '}') {
      if (depth == 0) return false;
      --depth;
    } else if (c == ',') {
      ++values;
    }
    if (values > max_values) return false;
  }
  return true;
}

std::string dump(const Json& value, int indent) {
  // Strings are valid UTF-8 by construction; replace keeps a stray byte
  // from ever turning into an exception.
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::optional<Json> parse(std::string_view text, std::size_t max_values) {
  // The library skips a byte-order mark; a JSON text never starts with one.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  // The library's lexer takes a NUL byte for the end of the input and would
  // ignore whatever follows; in a JSON text it can only be an error.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!within_limits(text, max_values)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::string compact(const Json& value) { return dump(value, -1); }

std::string pretty(const Json& value) { return dump(value, 2); }

}  // namespace json_text
