#pragma once
// Unicode rules over UTF-8 text, through ICU.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace unicode_text {

bool valid_utf8(std::string_view text);

// Removes characters with the White_Space property at both ends.
std::string_view trim(std::string_view text);

bool blank(std::string_view text);

// Unicode full lower-case mapping (root locale).
std::string lower(std::string_view text);

// Length in UTF-16 code units.
std::size_t utf16_length(std::string_view text);

// The code points of valid UTF-8 text, in order.
std::vector<char32_t> code_points(std::string_view text);

}  // namespace unicode_text
