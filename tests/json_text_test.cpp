#include "team_core/json_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JsonText, CompactEscapesOnlyQuoteBackslashAndControls) {
  struct Case {
    std::string input;
    std::string printed;
  };
  const Case cases[] = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x1b", R"("\u001b")"},
      {"/", R"("/")"},
      {"\x7f", "\"\x7f\""},
      {"\u2014 \u0219 \U0001F600", "\"\u2014 \u0219 \U0001F600\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_text::compact(Json(c.input)), c.printed) << c.printed;
  }
}

TEST(JsonText, ObjectKeysPrintInByteOrder) {
  Json object;
  object["b"] = 1;
  object["B"] = 2;
  object["a"] = 3;
  object["\u00e9"] = 4;  // non-ASCII bytes sort after ASCII
  object["_"] = 5;
  EXPECT_EQ(json_text::compact(object), "{\"B\":2,\"_\":5,\"a\":3,\"b\":1,\"\u00e9\":4}");
}

TEST(JsonText, PrettyUsesTwoSpacesAndNoFinalNewline) {
  Json value = json_text::parse(R"({"b":[1,{"c":null}],"a":{},"e":[],"d":"x"})").value();
  EXPECT_EQ(json_text::pretty(value),
            "{\n"
            "  \"a\": {},\n"
            "  \"b\": [\n"
            "    1,\n"
            "    {\n"
            "      \"c\": null\n"
            "    }\n"
            "  ],\n"
            "  \"d\": \"x\",\n"
            "  \"e\": []\n"
            "}");
  EXPECT_EQ(json_text::pretty(Json::array()), "[]");
}

TEST(JsonText, FloatsPrintShortestAndKeepPointZero) {
  EXPECT_EQ(json_text::compact(Json(1.5)), "1.5");
  EXPECT_EQ(json_text::compact(Json(60.0)), "60.0");
  EXPECT_EQ(json_text::compact(Json(0.0)), "0.0");
  EXPECT_EQ(json_text::compact(Json(0.1)), "0.1");
}

TEST(JsonText, ParseAcceptsOneValueOnly) {
  const std::string rejected[] = {
      "", "   ", "{} {}", "{\"a\":1}x", "nul", "[1,]", "\xEF\xBB\xBF{}", "\"\\ud800\"", "{'a':1}"};
  for (const auto& text : rejected) EXPECT_FALSE(json_text::parse(text).has_value()) << text;
  const std::string after_nul[] = {std::string("{}\0{}", 5), std::string("{}\0 junk", 8), std::string("\"a\0\"", 4),
                                   std::string("1\0", 2)};
  for (const auto& text : after_nul) EXPECT_FALSE(json_text::parse(text).has_value());
  EXPECT_EQ(json_text::parse("  {\"a\" : [1, 2]}\t").value(), Json::parse(R"({"a":[1,2]})"));
  EXPECT_EQ(json_text::parse("0").value(), Json(0));
}

TEST(JsonText, NestingBeyondTheLimitDoesNotParse) {
  auto nested = [](int depth, char open, char close) { return std::string(depth, open) + std::string(depth, close); };
  EXPECT_TRUE(json_text::parse(nested(json_text::max_depth, '[', ']')).has_value());
  EXPECT_FALSE(json_text::parse(nested(json_text::max_depth + 1, '[', ']')).has_value());
  EXPECT_FALSE(json_text::parse(std::string(100000, '[')).has_value());

  std::string objects;
  for (int i = 0; i < 200; ++i) objects += "{\"a\":";
  objects += "1" + std::string(200, '}');
  EXPECT_FALSE(json_text::parse(objects).has_value());

  // Brackets inside strings are not nesting.
  const std::string in_string = "[\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"]";
  EXPECT_TRUE(json_text::parse(in_string).has_value());
}

// A quote ends a string only after an even run of backslashes; what follows
// it counts again.
TEST(JsonText, NestingCountsAgainAfterStringsEndingInBackslashes) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::string endings[] = {R"("")", R"("\\")", R"("a\\\\")", R"("\"\\")", R"("\\\"x")"};
  for (const std::string& ending : endings) {
    EXPECT_TRUE(json_text::parse("[" + ending + "," + nested(json_text::max_depth - 1) + "]").has_value()) << ending;
    EXPECT_FALSE(json_text::parse("[" + ending + "," + nested(json_text::max_depth) + "]").has_value()) << ending;
  }
  // Escaped quotes, after escaped backslashes too, keep the brackets inside.
  for (const std::string quote : {R"(\")", R"(\\\")", R"(\\\\\")"}) {
    const std::string text = "[\"" + quote + std::string(1000, '[') + "\"]";
    EXPECT_TRUE(json_text::parse(text).has_value()) << quote;
  }
  EXPECT_FALSE(json_text::parse("[\"unterminated\\\"" + nested(200)).has_value());
}

// Bounded printing gives the same text while it fits, and nothing from the
// first byte past the bound on.
TEST(JsonText, BoundedPrintingStopsAtTheBound) {
  const Json value = {{"a", Json::array({1, "\u00e9\n", nullptr})}, {"b", Json::object()}};
  for (const bool indented : {false, true}) {
    SCOPED_TRACE(indented);
    const std::string whole = indented ? json_text::pretty(value) : json_text::compact(value);
    auto bounded = [&](std::size_t max) {
      return indented ? json_text::pretty(value, max) : json_text::compact(value, max);
    };
    EXPECT_EQ(bounded(whole.size()), whole);
    EXPECT_EQ(bounded(SIZE_MAX), whole);
    EXPECT_EQ(bounded(whole.size() - 1), std::nullopt);
    EXPECT_EQ(bounded(0), std::nullopt);
  }
}

}  // namespace
