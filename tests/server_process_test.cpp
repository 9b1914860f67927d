// The real binary over pipes: what an agent host sees on the wire.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "process.hpp"
#include "team_core/json_text.hpp"
#include "temp_dir.hpp"

namespace {

const std::string binary = VELTRUN_MCP_BINARY;
const std::string ping_reply = R"({"id":"last","jsonrpc":"2.0","result":{}})";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    result.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "output does not end in LF";
  return result;
}

std::string method_not_found(const std::string& id) {
  return R"({"error":{"code":-32601,"message":"Method not found"},"id":)" + id + R"(,"jsonrpc":"2.0"})";
}

class ServerProcess : public ::testing::Test {
 protected:
  process::Environment environment() const { return {{"HOME", home.path().string()}}; }
  process::Exit run(const std::string& input) const { return process::run(binary, input, environment()); }

  TempDir home;
};

TEST_F(ServerProcess, NothingIsWrittenWithoutRequests) {
  const process::Exit exit = run("");
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(exit.out, "");
  EXPECT_EQ(exit.err, "");
}

TEST_F(ServerProcess, DropsLinesThatGetNoReply) {
  const std::string deep_open(100000, '[');
  const std::string too_deep = std::string(129, '[') + std::string(129, ']');
  const struct {
    const char* label;
    std::string line;
  } cases[] = {
      {"empty object", "{}"},
      {"null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})"},
      {"notification", R"({"jsonrpc":"2.0","method":"notifications/initialized"})"},
      {"cancellation", R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})"},
      {"call without id", R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"veltrun_login"}})"},
      {"batch", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])"},
      {"two values", R"({"jsonrpc":"2.0","id":1,"method":"ping"} {"jsonrpc":"2.0","id":2,"method":"ping"})"},
      {"string value", R"("ping")"},
      {"blank line", ""},
      {"blanks", " \t "},
      {"not JSON", "ping"},
      {"truncated", R"({"jsonrpc":"2.0","id":1,"method":"ping")"},
      {"100000 open brackets", deep_open},
      {"closed but too deep", R"({"id":1,"method":"ping","params":)" + too_deep + "}"},
      {"NUL after a request", R"({"jsonrpc":"2.0","id":1,"method":"ping"})" + std::string(1, '\0') + " junk"},
  };
  for (const auto& c : cases) {
    const process::Exit exit = run(c.line + "\n" + R"({"jsonrpc":"2.0","id":"last","method":"ping"})" + "\n");
    EXPECT_EQ(exit.status, 0) << c.label;
    EXPECT_EQ(lines(exit.out), std::vector<std::string>{ping_reply}) << c.label;
    EXPECT_EQ(exit.err, "") << c.label;
  }
}

TEST_F(ServerProcess, EchoesIdsOfEveryType) {
  struct Case {
    std::string sent;
    std::string echoed;
  };
  const std::vector<Case> cases = {
      {R"("abc")", R"("abc")"},
      {R"("")", R"("")"},
      {R"("a\u00e9\n")", "\"a\u00e9\\n\""},
      {"0", "0"},
      {"-7", "-7"},
      {"1.5", "1.5"},
      {"2.0", "2.0"},
      {"false", "false"},
      {"true", "true"},
      {R"([1,"x",null])", R"([1,"x",null])"},
      {R"({"k":[null], "a":{}})", R"({"a":{},"k":[null]})"},
      {"18446744073709551615", "18446744073709551615"},
  };
  std::string input;
  for (const Case& c : cases) input += R"({"jsonrpc":"2.0","method":"ping","id":)" + c.sent + "}\n";
  const process::Exit exit = run(input);
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(R"({"id":)" + c.echoed + R"(,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(lines(exit.out), expected);
  EXPECT_EQ(exit.status, 0);
}

TEST_F(ServerProcess, LineEndings) {
  const std::string request = R"({"jsonrpc":"2.0","id":"last","method":"ping"})";
  const struct {
    const char* label;
    std::string input;
  } cases[] = {
      {"LF", request + "\n"},
      {"CRLF", request + "\r\n"},
      {"no final LF", request},
      {"CRLF blank line first", "\r\n" + request + "\r\n"},
  };
  for (const auto& c : cases) {
    const process::Exit exit = run(c.input);
    EXPECT_EQ(lines(exit.out), std::vector<std::string>{ping_reply}) << c.label;
  }
}

TEST_F(ServerProcess, AnswersMethodNotFoundWithTheId) {
  const std::vector<std::string> requests = {
      R"({"jsonrpc":"2.0","id":1,"method":"Ping"})",
      R"({"jsonrpc":"2.0","id":2,"method":"TOOLS/LIST"})",
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call "})",
      R"({"jsonrpc":"2.0","id":4})",
      R"({"jsonrpc":"2.0","id":5,"method":42})",
      R"({"jsonrpc":"2.0","id":6,"method":null})",
      R"({"jsonrpc":"2.0","id":7,"method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","id":8,"method":"resources/list"})",
      R"({"id":"x","method":""})",
  };
  std::string input;
  for (const std::string& request : requests) input += request + "\n";
  const process::Exit exit = run(input);
  EXPECT_EQ(lines(exit.out),
            (std::vector<std::string>{method_not_found("1"), method_not_found("2"), method_not_found("3"),
                                      method_not_found("4"), method_not_found("5"), method_not_found("6"),
                                      method_not_found("7"), method_not_found("8"), method_not_found(R"("x")")}));
}

TEST_F(ServerProcess, ToolCallWithoutParamsIsAnUnknownToolResult) {
  const process::Exit exit = run(R"({"jsonrpc":"2.0","id":9,"method":"tools/call"})"
                                 "\n"
                                 R"({"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":7}})"
                                 "\n");
  const std::string result = R"(,"jsonrpc":"2.0","result":{"content":[{"text":"Unknown tool: ","type":"text"}],)"
                             R"("isError":true}})";
  EXPECT_EQ(lines(exit.out), (std::vector<std::string>{R"({"id":9)" + result, R"({"id":10)" + result}));
}

TEST_F(ServerProcess, RepliesHoldingLineBreaksStayOnOneLine) {
  const process::Exit exit = run(R"({"jsonrpc":"2.0","id":1,"method":"initialize"})"
                                 "\n"
                                 R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"a\nb\r\u2028"}})"
                                 "\n");
  const std::vector<std::string> replies = lines(exit.out);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_NE(replies[0].find(R"(board.\n\n---\nname: vlt-workflow\n)"), std::string::npos);
  EXPECT_NE(replies[1].find("\"text\":\"Unknown tool: a\\nb\\r\u2028\""), std::string::npos) << replies[1];
}

TEST_F(ServerProcess, NonUtf8LineEndsTheRunWithoutReply) {
  const std::string first = R"({"jsonrpc":"2.0","id":"last","method":"ping"})"
                            "\n";
  const std::string later = R"({"jsonrpc":"2.0","id":3,"method":"ping"})"
                            "\n";
  const struct {
    const char* label;
    std::string bytes;
  } cases[] = {
      {"stray continuation byte", "\x80"}, {"0xFF", "\xff"},
      {"overlong slash", "\xc0\xaf"},      {"surrogate", "\xed\xa0\x80"},
      {"truncated sequence", "\xe2\x82"},  {"above U+10FFFF", "\xf4\x90\x80\x80"},
  };
  for (const auto& c : cases) {
    process::Child child(binary, environment());
    // Inside an otherwise valid request, and with the input left open: the
    // server must stop on its own at that line.
    ASSERT_TRUE(child.write(first + R"({"jsonrpc":"2.0","id":2,"method":"ping","x":")" + c.bytes + "\"}\n" + later));
    EXPECT_EQ(child.read_line(), ping_reply) << c.label;
    const process::Exit exit = child.finish();
    EXPECT_EQ(exit.status, 0) << c.label;
    EXPECT_EQ(lines(exit.out), std::vector<std::string>{ping_reply}) << c.label;
    EXPECT_EQ(exit.err, "") << c.label;
  }
}

TEST_F(ServerProcess, FailedWriteEndsWithStatus101AndOneDiagnostic) {
  const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                              "\n";
  {
    process::Child child(binary, environment());
    child.close_output();
    child.write(request);
    const process::Exit exit = child.finish();
    EXPECT_EQ(exit.status, 101);
    EXPECT_EQ(lines(exit.err).size(), 1u) << exit.err;
    EXPECT_NE(exit.err.find(std::strerror(EPIPE)), std::string::npos) << exit.err;
  }
  {
    process::Child child(binary, environment(), "/dev/full");
    child.write(request + request);
    const process::Exit exit = child.finish();
    EXPECT_EQ(exit.status, 101);
    EXPECT_EQ(lines(exit.err).size(), 1u) << exit.err;
    EXPECT_NE(exit.err.find(std::strerror(ENOSPC)), std::string::npos) << exit.err;
  }
}

TEST_F(ServerProcess, ClosedOutputWithoutRepliesIsNoFailure) {
  process::Child child(binary, environment());
  child.close_output();
  child.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
              "\n");
  const process::Exit exit = child.finish();
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(exit.err, "");
}

TEST_F(ServerProcess, RunsWithoutHome) {
  const process::Exit exit = process::run(binary, R"({"jsonrpc":"2.0","id":"last","method":"ping"})"
                                                  "\n");
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(lines(exit.out), std::vector<std::string>{ping_reply});
}

// The environment read at start reaches the session: the status shows the
// workspace folder as given, before any consent or request to the service.
TEST_F(ServerProcess, SessionStartsFromTheEnvironment) {
  process::Environment env = environment();
  env["VELTRUN_CWD"] = "/work/space\u00e9";
  const process::Exit exit = process::run(
      binary,
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"veltrun_session","arguments":{}}})"
      "\n",
      env);
  EXPECT_EQ(exit.status, 0);
  const std::vector<std::string> replies = lines(exit.out);
  ASSERT_EQ(replies.size(), 1u);
  const auto reply = json_text::parse(replies[0]);
  ASSERT_TRUE(reply);
  const auto status = json_text::parse((*reply)["result"]["content"][0]["text"].get<std::string>());
  ASSERT_TRUE(status) << replies[0];
  EXPECT_EQ((*status)["status"], "needs_opt_in");
  EXPECT_EQ((*status)["cwd"], "/work/space\u00e9");
}

// libcurl, and the libraries it brings, are loaded at the first request to
// the service: a server that only answered the handshake has none of them.
TEST_F(ServerProcess, StartsWithoutLibcurl) {
  process::Child child(binary, environment());
  ASSERT_TRUE(child.write(R"({"jsonrpc":"2.0","id":1,"method":"initialize"})"
                          "\n"
                          R"({"jsonrpc":"2.0","id":"last","method":"ping"})"
                          "\n"));
  ASSERT_TRUE(child.read_line());
  ASSERT_EQ(child.read_line(), ping_reply);
  std::ifstream maps("/proc/" + std::to_string(child.pid()) + "/maps");
  const std::string mapped{std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>()};
  EXPECT_NE(mapped.find("libc.so"), std::string::npos) << mapped;
  EXPECT_EQ(mapped.find("libcurl"), std::string::npos) << mapped;
  EXPECT_EQ(mapped.find("libssl"), std::string::npos) << mapped;
  EXPECT_EQ(child.finish().status, 0);
}

TEST_F(ServerProcess, ServesAConversationInOrder) {
  process::Child child(binary, environment());
  ASSERT_TRUE(child.write(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
                          "\n"));
  const std::optional<std::string> initialized = child.read_line();
  ASSERT_TRUE(initialized);
  const std::optional<Json> reply = json_text::parse(*initialized);
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["result"]["protocolVersion"], "2025-06-18");
  ASSERT_TRUE(child.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                          "\n"
                          R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"cursor":"x"}})"
                          "\n"));
  const std::optional<std::string> listed = child.read_line();
  ASSERT_TRUE(listed);
  const std::optional<Json> tools = json_text::parse(*listed);
  ASSERT_TRUE(tools);
  EXPECT_EQ((*tools)["id"], 2);
  EXPECT_EQ((*tools)["result"]["tools"].size(), 18u);
  const process::Exit exit = child.finish();
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(exit.err, "");
}

}  // namespace
