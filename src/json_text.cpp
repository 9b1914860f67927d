#include "json_text.hpp"

namespace json_text {
namespace {

// Written by hand: nlohmann/json offers no depth limit, and its parser
// callback cannot stop the parse early without exceptions.
bool nesting_within_limit(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

std::string dump(const Json& value, int indent) {
  // Strings are valid UTF-8 by construction; replace keeps a stray byte
  // from ever turning into an exception.
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::optional<Json> parse(std::string_view text) {
  // The library skips a byte-order mark; a JSON text never starts with one.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  // The library's lexer takes a NUL byte for the end of the input and would
  // ignore whatever follows; in a JSON text it can only be an error.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!nesting_within_limit(text)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::string compact(const Json& value) { return dump(value, -1); }

std::string pretty(const Json& value) { return dump(value, 2); }

}  // namespace json_text
