#include "unicode_text.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace unicode_text {
namespace {

// Decodes the code point at offset i and moves i past it; negative when the
// bytes there are not valid UTF-8.
UChar32 next(std::string_view text, int32_t& i) {
  UChar32 c = 0;
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), i, static_cast<int32_t>(text.size()), c);
  return c;
}

}  // namespace

bool valid_utf8(std::string_view text) {
  // Input lines have no length limit, so walk in windows that ICU's 32-bit
  // offsets can address.
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::string_view window = text.substr(pos, std::size_t{1} << 30);
    int32_t i = 0;
    while (i < static_cast<int32_t>(window.size())) {
      const int32_t start = i;
      if (next(window, i) < 0) {
        // A sequence cut by the window edge is retried from its start.
        if (pos + window.size() < text.size() && window.size() - start < 4) {
          i = start;
          break;
        }
        return false;
      }
    }
    pos += static_cast<std::size_t>(i);
  }
  return true;
}

std::string_view trim(std::string_view text) {
  int32_t begin = 0;
  const auto size = static_cast<int32_t>(text.size());
  while (begin < size) {
    int32_t i = begin;
    UChar32 c = next(text, i);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = i;
  }
  int32_t end = size;
  while (end > begin) {
    int32_t i = end;
    UChar32 c = 0;
    U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), begin, i, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = i;
  }
  return text.substr(begin, end - begin);
}

bool blank(std::string_view text) { return trim(text).empty(); }

std::string lower(std::string_view text) {
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

std::size_t utf16_length(std::string_view text) {
  std::size_t units = 0;
  for (char32_t c : code_points(text)) units += c > 0xFFFF ? 2 : 1;
  return units;
}

std::vector<char32_t> code_points(std::string_view text) {
  std::vector<char32_t> out;
  int32_t i = 0;
  while (i < static_cast<int32_t>(text.size())) {
    UChar32 c = next(text, i);
    out.push_back(c < 0 ? U'\uFFFD' : static_cast<char32_t>(c));
  }
  return out;
}

}  // namespace unicode_text
