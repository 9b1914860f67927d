#include "team_core/api.hpp"

#include <cstdint>

#include "team_core/answer_bounds.hpp"
#include "team_core/json_text.hpp"

namespace team_core::api {
namespace {

// Value of a base64url character, or -1 outside the alphabet ("=" included).
int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

}  // namespace

// Written by hand: no library at hand decodes base64url strictly (unpadded,
// with the unused bits of the last character required to be zero).
std::optional<std::string> base64url_decode(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t bits = 0;
  int bit_count = 0;
  for (char c : text) {
    const int value = sextet(c);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      out.push_back(static_cast<char>((bits >> bit_count) & 0xFF));
    }
  }
  // Leftover bits are padding of the last character; a canonical encoding
  // leaves them zero.
  if ((bits & ((1u << bit_count) - 1)) != 0) return std::nullopt;
  return out;
}

std::optional<std::string> token_subject(std::string_view token) {
  const auto first_dot = token.find('.');
  if (first_dot == std::string_view::npos) return std::nullopt;
  std::string_view payload = token.substr(first_dot + 1);
  payload = payload.substr(0, payload.find('.'));

  // The payload comes from whoever issued the credential: decoded and parsed
  // within the limits of the answer that brought it, and with the same depth
  // limit as every other JSON text.
  if (payload.size() > max_answer_bytes) return std::nullopt;
  auto bytes = base64url_decode(payload);
  if (!bytes) return std::nullopt;
  const auto claims = json_text::parse(*bytes, max_answer_values);
  if (!claims || !claims->is_object()) return std::nullopt;
  const auto sub = claims->find("sub");
  if (sub == claims->end() || !sub->is_string()) return std::nullopt;
  return sub->get<std::string>();
}

}  // namespace team_core::api
