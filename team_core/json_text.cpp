#include "team_core/json_text.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

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

// Strings are valid UTF-8 by construction; replace keeps a stray byte from
// ever turning into an exception.
constexpr auto stray_bytes = Json::error_handler_t::replace;

std::string dump(const Json& value, int indent) { return value.dump(indent, ' ', false, stray_bytes); }

// Thrown by BoundedText past its bound and caught in bounded_dump: the
// library's printer has no other way to stop early.
struct TextFull {};

// Written by hand: nlohmann/json prints only into unbounded targets. Its
// printer and the adapter protocol live in the library's detail namespace.
class BoundedText final : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  BoundedText(std::string& text, std::size_t max_bytes) : text_(text), max_bytes_(max_bytes) {}
  void write_character(char c) override { write_characters(&c, 1); }
  void write_characters(const char* s, std::size_t length) override {
    if (length > max_bytes_ - text_.size()) throw TextFull{};
    text_.append(s, length);
  }

 private:
  std::string& text_;
  std::size_t max_bytes_;
};

std::optional<std::string> bounded_dump(const Json& value, int indent, std::size_t max_bytes) {
  std::string text;
  nlohmann::detail::serializer<Json> printer(std::make_shared<BoundedText>(text, max_bytes), ' ', stray_bytes);
  try {
    printer.dump(value, indent >= 0, false, static_cast<unsigned>(std::max(indent, 0)));
  } catch (const TextFull&) {
    return std::nullopt;
  }
  return text;
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

std::optional<std::string> compact(const Json& value, std::size_t max_bytes) {
  return bounded_dump(value, -1, max_bytes);
}

std::optional<std::string> pretty(const Json& value, std::size_t max_bytes) {
  return bounded_dump(value, 2, max_bytes);
}

}  // namespace json_text
