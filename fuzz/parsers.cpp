// The text parsers, one per value of the input's first byte (modulo 7); the
// rest of the input is the text. Each checks a property that must hold for
// every input, not merely the absence of a crash.
#include <unicode/uchar.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "harness.hpp"
#include "item_reference.hpp"
#include "login.hpp"
#include "team_core/api.hpp"
#include "time_text.hpp"
#include "tracking.hpp"
#include "unicode_text.hpp"

namespace {

using fuzz::fail;

int depth(const Json& value) {
  int deepest = 0;
  if (value.is_structured()) {
    for (const Json& child : value) deepest = std::max(deepest, depth(child));
    return deepest + 1;
  }
  return 0;
}

// Parse, print, parse again: the same value, and printing is stable.
void json_round_trip(std::string_view text) {
  const auto value = json_text::parse(text);
  if (!value) return;
  if (depth(*value) > json_text::max_depth) fail("parsed past the depth limit", text);
  for (const std::string& printed : {json_text::compact(*value), json_text::pretty(*value)}) {
    const auto again = json_text::parse(printed);
    if (!again || *again != *value) fail("JSON does not read back", printed);
    if (json_text::compact(*again) != json_text::compact(*value)) fail("JSON prints differently", printed);
  }
  if (json_text::compact(*value).find('\n') != std::string::npos) fail("compact JSON spans lines", text);
}

// Both readers agree, and an accepted instant prints and reads back.
void timestamp(std::string_view text) {
  const auto ms = time_text::milliseconds(text);
  const auto tracked = tracking::timestamp(text);
  if (ms.has_value() != tracked.has_value() || (ms && *ms != *tracked)) fail("timestamp readers disagree", text);
  if (!ms) return;
  // 0000-01-01 and 9999-12-31 in milliseconds: the years that print in four digits.
  constexpr std::int64_t first = -62'167'219'200'000;
  constexpr std::int64_t last = 253'402'300'799'999;
  if (*ms < first - 86'400'000 || *ms > last + 86'400'000) fail("timestamp out of its range", text);
  // The clock counts nanoseconds in 64 bits: about 292 years either side of 1970.
  constexpr std::int64_t clock_reach = 9'000'000'000'000;
  if (*ms < -clock_reach || *ms > clock_reach) return;
  const std::chrono::system_clock::time_point instant{std::chrono::milliseconds(*ms)};
  const std::string printed = time_text::utc(instant);
  if (time_text::milliseconds(printed) != ms) fail("timestamp does not read back", printed);
}

std::string base64url(std::string_view bytes) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : bytes) {
    bits = bits << 8 | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += alphabet[(bits >> count) & 63];
    }
  }
  if (count > 0) out += alphabet[(bits << (6 - count)) & 63];
  return out;
}

// Strict decoding is the exact inverse of encoding.
void base64(std::string_view text) {
  if (const auto decoded = team_core::api::base64url_decode(text); decoded && base64url(*decoded) != text) {
    fail("base64url accepted a non-canonical text", text);
  }
  if (team_core::api::base64url_decode(base64url(text)) != std::string(text)) fail("base64url lost bytes", text);
}

// The subject comes out of the middle piece whole.
void subject(std::string_view text) {
  const auto sub = team_core::api::token_subject(text);
  if (!sub) return;
  const auto dot = text.find('.');
  if (dot == std::string_view::npos) fail("subject without a payload", text);
  const auto again = team_core::api::token_subject("x." + base64url(json_text::compact(Json{{"sub", *sub}})));
  if (again != sub) fail("subject does not survive encoding", text);
}

// An accepted sign-in URL is an https URL without white space or controls.
void sign_in_url(std::string_view text) {
  if (login::sign_in_url_problem(std::string(text))) return;
  std::string scheme(text.substr(0, 6));
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (scheme != "https:") fail("sign-in URL accepted without https", text);
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F) fail("sign-in URL accepted with a control or a space", text);
  }
}

// "vlt/" and a slug of lower-case letters, digits and single inner hyphens.
void branch(std::string_view text) {
  const auto cut = text.find('\0');
  const Json item = {{"key", std::string(text.substr(0, cut))},
                     {"title", cut == std::string_view::npos ? "" : std::string(text.substr(cut + 1))}};
  const std::string name = branch_name(item);
  if (!name.starts_with("vlt/")) fail("branch name without its prefix", name);
  const std::string_view slug = std::string_view(name).substr(4);
  if (slug.size() > 40) fail("branch slug too long", name);
  if (slug.starts_with('-') || slug.ends_with('-') || slug.find("--") != std::string_view::npos) {
    fail("branch slug with loose hyphens", name);
  }
  for (char c : slug) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) fail("branch slug character", name);
  }
}

bool white_space(char32_t c) { return u_isUWhiteSpace(static_cast<UChar32>(c)); }

// UTF-16 length counted from the bytes, and trimming that removes White_Space
// at both ends and nothing else, once and for all.
void unicode(std::string_view text) {
  const std::string_view trimmed = unicode_text::trim(text);
  if (trimmed.data() < text.data() || trimmed.data() + trimmed.size() > text.data() + text.size()) {
    fail("trim left its text", text);
  }
  if (unicode_text::trim(trimmed) != trimmed) fail("trim is not idempotent", text);
  if (unicode_text::blank(text) != trimmed.empty()) fail("blank disagrees with trim", text);
  if (!unicode_text::valid_utf8(text)) return;

  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++units;  // one per code point
    if (c >= 0xF0) ++units;           // a surrogate pair above U+FFFF
  }
  if (unicode_text::utf16_length(text) != units) fail("UTF-16 length", text);

  const std::size_t begin = static_cast<std::size_t>(trimmed.data() - text.data());
  for (std::string_view cut : {text.substr(0, begin), text.substr(begin + trimmed.size())}) {
    for (char32_t c : unicode_text::code_points(cut)) {
      if (!white_space(c)) fail("trim removed more than white space", text);
    }
  }
  const auto kept = unicode_text::code_points(trimmed);
  if (!kept.empty() && (white_space(kept.front()) || white_space(kept.back()))) {
    fail("trim kept white space at an end", text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0:
      json_round_trip(text);
      break;
    case 1:
      timestamp(text);
      break;
    case 2:
      base64(text);
      break;
    case 3:
      subject(text);
      break;
    case 4:
      sign_in_url(text);
      break;
    case 5:
      branch(text);
      break;
    default:
      unicode(text);
      break;
  }
  return 0;
}
