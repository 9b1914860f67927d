#include "unicode_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UnicodeText, ValidUtf8) {
  EXPECT_TRUE(unicode_text::valid_utf8(""));
  EXPECT_TRUE(unicode_text::valid_utf8("plain \u0219\u2014\U0001F600"));
  const std::string invalid[] = {"\xff",
                                 "\xc3",
                                 "a\x80",
                                 "\xed\xa0\x80" /* surrogate */,
                                 "\xc0\xaf" /* overlong */,
                                 "\xf4\x90\x80\x80" /* above U+10FFFF */};
  for (const auto& text : invalid) EXPECT_FALSE(unicode_text::valid_utf8(text));
}

TEST(UnicodeText, TrimRemovesWhiteSpacePropertyOnly) {
  struct Case {
    std::string input;
    std::string trimmed;
  };
  const Case cases[] = {
      {"  a b  ", "a b"},
      {"\t\n\r\v\fx\n", "x"},
      {"\u00a0\u2003x\u3000\u2028", "x"},  // no-break, em space, ideographic space, line separator
      {"\u0085x\u200a", "x"},
      {"\u200bx", "\u200bx"},  // zero width space is not White_Space
      {" \n ", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(unicode_text::trim(c.input), c.trimmed) << c.input;
  EXPECT_TRUE(unicode_text::blank(" \u2003\n"));
  EXPECT_FALSE(unicode_text::blank(" . "));
}

TEST(UnicodeText, LowerUsesFullMapping) {
  EXPECT_EQ(unicode_text::lower("System Design"), "system design");
  EXPECT_EQ(unicode_text::lower("\u0218TERGE"), "\u0219terge");
  EXPECT_EQ(unicode_text::lower("\u0130"), "i\u0307");  // dotted capital I expands
}

TEST(UnicodeText, Utf16Length) {
  EXPECT_EQ(unicode_text::utf16_length(""), 0u);
  EXPECT_EQ(unicode_text::utf16_length("ab\u00e9\u2014"), 4u);
  EXPECT_EQ(unicode_text::utf16_length("\U0001F600"), 2u);
}

}  // namespace
