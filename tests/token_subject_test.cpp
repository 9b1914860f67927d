#include <gtest/gtest.h>

#include "http_exchange.hpp"
#include "team_core/api.hpp"

namespace {

using team_core::api::base64url_decode;
using team_core::api::token_subject;

// Unpadded base64url encoding, so that payloads read as JSON in the tables.
std::string encode(std::string_view bytes) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : bytes) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out.push_back(alphabet[(bits >> count) & 63]);
    }
  }
  if (count > 0) out.push_back(alphabet[(bits << (6 - count)) & 63]);
  return out;
}

struct DecodeCase {
  const char* text;
  std::optional<std::string> bytes;
};

TEST(Base64Url, DecodesStrictlyWithoutPadding) {
  const std::vector<DecodeCase> cases = {
      {"", ""},
      {"TQ", "M"},
      {"TWE", "Ma"},
      {"TWFu", "Man"},
      {"TWFuTQ", "ManM"},
      {"-_8", "\xfb\xff"},
      {"AAAA", std::string(3, '\0')},
      {"T", std::nullopt},      // one character over a whole group
      {"TWFuT", std::nullopt},  // the same after a group
      {"TR", std::nullopt},     // unused bits not zero
      {"TWF", std::nullopt},    // unused bits not zero
      {"TQ==", std::nullopt},   // padding
      {"TW=u", std::nullopt},   // "=" inside
      {"+/8", std::nullopt},    // the standard alphabet's characters
      {"TQ\n", std::nullopt},   // white space
      {" TQ", std::nullopt},
      {"T\xc3\xa9", std::nullopt},  // non-ASCII
      {"TW.u", std::nullopt},
  };
  for (const DecodeCase& row : cases) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(base64url_decode(row.text), row.bytes);
  }
}

TEST(Base64Url, TestEncoderAgreesWithTheDecoder) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 255u, 256u}) {
    const std::string bytes = all.substr(0, length);
    EXPECT_EQ(base64url_decode(encode(bytes)), bytes) << length;
  }
}

struct SubjectCase {
  const char* name;
  std::string token;
  std::optional<std::string> subject;
};

TEST(TokenSubject, ReadsTheSubClaimOfTheSecondPiece) {
  const std::string user = encode(R"({"sub":"user-1","exp":1})");
  const std::string deep_ok = "{\"sub\":\"deep\",\"d\":" + std::string(127, '[') + std::string(127, ']') + "}";
  const std::string too_deep = "{\"sub\":\"deep\",\"d\":" + std::string(200, '[') + std::string(200, ']') + "}";
  // This payload encodes with "-" or "_" in the URL-safe alphabet; the
  // standard alphabet writes them "+" and "/".
  const std::string url_safe = encode("{\"sub\":\"\x3f\x3f>\"}");
  std::string standard = url_safe;
  for (char& c : standard) c = c == '-' ? '+' : c == '_' ? '/' : c;
  ASSERT_NE(standard, url_safe);

  // The object, its two members and the elements count: one value past what an answer may hold.
  std::string crowded = "{\"sub\":\"x\",\"pad\":[0";
  for (std::size_t i = 1; i < client_http::max_answer_values - 2; ++i) crowded += ",0";
  crowded += "]}";

  const std::vector<SubjectCase> cases = {
      {"three pieces", "h." + user + ".sig", "user-1"},
      {"two pieces", "h." + user, "user-1"},
      {"header and signature never read", "!!!." + user + ".!!!.more", "user-1"},
      {"url-safe characters", "h." + url_safe + ".s", "\x3f\x3f>"},
      {"empty subject", "h." + encode(R"({"sub":""})") + ".s", ""},
      {"white space around the value", "h." + encode(" \n{\"sub\":\"x\"}\t ") + ".s", "x"},
      {"unicode subject", "h." + encode("{\"sub\":\"\\u0103\xc8\x99\"}") + ".s", "\xc4\x83\xc8\x99"},
      {"nesting within the limit", "h." + encode(deep_ok), "deep"},
      {"no dot", user, std::nullopt},
      {"empty second piece", "h..s", std::nullopt},
      {"ends at the first dot", "h.", std::nullopt},
      {"padding", "h." + user + "==.s", std::nullopt},
      {"standard alphabet", "h." + standard + ".s", std::nullopt},
      {"payload is first piece only", user + ".x.y", std::nullopt},
      {"sub a number", "h." + encode(R"({"sub":42})") + ".s", std::nullopt},
      {"sub null", "h." + encode(R"({"sub":null})") + ".s", std::nullopt},
      {"no sub", "h." + encode(R"({"subject":"x"})") + ".s", std::nullopt},
      {"payload an array", "h." + encode(R"([{"sub":"x"}])") + ".s", std::nullopt},
      {"payload a string", "h." + encode(R"("sub")") + ".s", std::nullopt},
      {"trailing text", "h." + encode(R"({"sub":"x"} x)") + ".s", std::nullopt},
      {"two values", "h." + encode(R"({"sub":"x"}{})") + ".s", std::nullopt},
      {"not JSON", "h." + encode("sub=x") + ".s", std::nullopt},
      {"byte-order mark", "h." + encode("\xEF\xBB\xBF{\"sub\":\"x\"}") + ".s", std::nullopt},
      {"invalid UTF-8", "h." + encode("{\"sub\":\"\xff\"}") + ".s", std::nullopt},
      {"nesting too deep", "h." + encode(too_deep), std::nullopt},
      {"more values than an answer may hold", "h." + encode(crowded), std::nullopt},
  };
  for (const SubjectCase& row : cases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(token_subject(row.token), row.subject);
  }
}

}  // namespace
