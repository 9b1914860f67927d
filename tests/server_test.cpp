#include "server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_service.hpp"
#include "temp_dir.hpp"
#include "tool_table.hpp"

namespace {

// Collects reply lines; can be told to fail from a given write on.
struct Capture {
  std::vector<std::string> lines;
  std::size_t fail_from = SIZE_MAX;

  server::ReplySink sink() {
    return [this](std::string_view line) -> std::expected<void, std::string> {
      if (lines.size() >= fail_from) return std::unexpected("disk on fire");
      lines.emplace_back(line);
      return {};
    };
  }
};

class Serve : public ::testing::Test {
 protected:
  std::expected<void, std::string> serve(const std::string& input) {
    in.str(input);
    return server::serve(in, capture.sink(), session, client);
  }
  std::string rest() {
    std::string unread;
    std::getline(in, unread, '\0');
    return unread;
  }

  TempDir home;
  fake::Service service;
  Client client{home.path(), service.base_url()};
  Session session;
  std::istringstream in;
  Capture capture;
};

TEST_F(Serve, StopsReadingAtTheFirstFailedWrite) {
  capture.fail_from = 1;
  const auto served = serve(R"({"id":1,"method":"ping"})"
                            "\n"
                            R"({"id":2,"method":"ping"})"
                            "\n"
                            R"({"id":3,"method":"ping"})"
                            "\n");
  EXPECT_EQ(served, std::unexpected(std::string("disk on fire")));
  EXPECT_EQ(capture.lines, std::vector<std::string>{R"({"id":1,"jsonrpc":"2.0","result":{}})"});
  EXPECT_EQ(rest(), R"({"id":3,"method":"ping"})"
                    "\n");
}

TEST_F(Serve, StopsAtALineThatIsNotUtf8) {
  const auto served = serve(R"({"id":1,"method":"ping"})"
                            "\n"
                            "\xff\n"
                            R"({"id":2,"method":"ping"})"
                            "\n");
  EXPECT_TRUE(served);
  EXPECT_EQ(capture.lines, std::vector<std::string>{R"({"id":1,"jsonrpc":"2.0","result":{}})"});
  EXPECT_EQ(rest(), R"({"id":2,"method":"ping"})"
                    "\n");
}

std::string pong(int id) { return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{}})"; }

// Input produced as it is read, from texts and runs of one byte: a line of
// 16 MiB costs the test no 16 MiB of its own.
class GeneratedInput : public std::streambuf {
 public:
  GeneratedInput& text(std::string text) {
    parts_.push_back({std::move(text), 0, 0});
    return *this;
  }
  GeneratedInput& run(char byte, std::size_t count) {
    parts_.push_back({{}, byte, count});
    return *this;
  }

 protected:
  int_type underflow() override {
    std::size_t filled = 0;
    while (filled < buffer_.size() && part_ < parts_.size()) {
      const Part& part = parts_[part_];
      const std::size_t length = part.text.empty() ? part.count : part.text.size();
      const std::size_t taken = std::min(buffer_.size() - filled, length - offset_);
      if (part.text.empty()) {
        std::memset(buffer_.data() + filled, part.byte, taken);
      } else {
        std::memcpy(buffer_.data() + filled, part.text.data() + offset_, taken);
      }
      filled += taken;
      offset_ += taken;
      if (offset_ == length) {
        offset_ = 0;
        ++part_;
      }
    }
    if (filled == 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + filled);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  struct Part {
    std::string text;  // empty for a run
    char byte;
    std::size_t count;
  };
  std::vector<Part> parts_;
  std::size_t part_ = 0;
  std::size_t offset_ = 0;
  std::array<char, 1 << 16> buffer_{};
};

// A line past the bound is skipped without being judged, even when it is not
// UTF-8; a line at the bound is answered, the last one without LF included.
TEST_F(Serve, LinePastTheBoundIsSkippedUnjudged) {
  const std::string first = R"({"id":1,"method":"ping"})";
  const std::string third = R"({"id":3,"method":"ping"})";
  GeneratedInput input;
  input.text(first + "\xff")
      .run(' ', server::max_line_bytes - first.size())
      .text(
          "\n"
          R"({"id":2,"method":"ping"})"
          "\n" +
          third)
      .run(' ', server::max_line_bytes - third.size());
  std::istream lines(&input);
  EXPECT_TRUE(server::serve(lines, capture.sink(), session, client));
  EXPECT_EQ(capture.lines, (std::vector<std::string>{pong(2), pong(3)}));
}

// The request object, its three members and the elements of "params" count.
TEST_F(Serve, RequestPastTheValueBoundGetsNoReply) {
  auto with_params = [](int id, std::size_t count) {
    std::string line = R"({"id":)" + std::to_string(id) + R"(,"method":"ping","params":[0)";
    for (std::size_t i = 1; i < count; ++i) line += ",0";
    return line + "]}\n";
  };
  EXPECT_TRUE(serve(with_params(1, server::max_request_values - 4) + with_params(2, server::max_request_values - 3)));
  EXPECT_EQ(capture.lines, std::vector<std::string>{pong(1)});
}

TEST_F(Serve, ToolCallNameAndArgumentsFromParams) {
  const struct {
    const char* label;
    std::string params;
    std::string text;
  } cases[] = {
      {"no params", "", "Unknown tool: "},
      {"params not an object", R"(,"params":["nope"])", "Unknown tool: "},
      {"name not a string", R"(,"params":{"name":["nope"]})", "Unknown tool: "},
      {"unknown name", R"(,"params":{"name":"nope","arguments":null})", "Unknown tool: nope"},
      {"name kept verbatim", R"(,"params":{"name":" Get_Work_Item "})", "Unknown tool:  Get_Work_Item "},
  };
  std::string input;
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    input += R"({"id":1,"method":"tools/call")" + c.params + "}\n";
    expected.push_back(R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":")" + c.text +
                       R"(","type":"text"}],"isError":true}})");
  }
  EXPECT_TRUE(serve(input));
  EXPECT_EQ(capture.lines, expected);
}

TEST_F(Serve, CallsWithoutIdAreNotCarriedOut) {
  EXPECT_TRUE(serve(R"({"method":"tools/call","params":{"name":"veltrun_session","arguments":{"action":"enable"}}})"
                    "\n"
                    R"({"id":null,"method":"tools/call","params":{"name":"veltrun_session",)"
                    R"("arguments":{"action":"enable"}}})"
                    "\n"));
  EXPECT_TRUE(capture.lines.empty());
  EXPECT_FALSE(session.opted_in);
  EXPECT_TRUE(service.requests().empty());
}

// The loop lends the same session to every call: an opt-out made by one
// call holds for the next.
TEST_F(Serve, SessionCarriesOverBetweenCalls) {
  EXPECT_TRUE(serve(R"({"id":1,"method":"tools/call","params":{"name":"veltrun_session",)"
                    R"("arguments":{"action":"disable"}}})"
                    "\n"
                    R"({"id":2,"method":"tools/call","params":{"name":"veltrun_login"}})"
                    "\n"));
  ASSERT_EQ(capture.lines.size(), 2u);
  for (const std::string& line : capture.lines) {
    std::optional<Json> reply = json_text::parse(line);
    ASSERT_TRUE(reply) << line;
    EXPECT_EQ((*reply)["result"]["isError"], false) << line;
    std::optional<Json> status = json_text::parse((*reply)["result"]["content"][0]["text"].get<std::string>());
    ASSERT_TRUE(status) << line;
    EXPECT_EQ((*status)["status"], "disabled") << line;
  }
  EXPECT_TRUE(session.disabled);
  EXPECT_TRUE(service.requests().empty());
}

// The catalogue is printed once and spliced into each reply: the line must be
// what printing the whole reply would give, whatever the id.
TEST_F(Serve, ToolsListReplyIsThePrintedReplyForEveryIdKind) {
  const std::vector<std::string> ids = {"7",
                                        "-1",
                                        "2.5",
                                        R"("a\"b\u00e9\n")",
                                        "true",
                                        R"([1,{"z":null,"a":"x"}])",
                                        R"({"k":[],"b":{}})",
                                        "18446744073709551615"};
  std::string input;
  for (const std::string& id : ids) input += R"({"jsonrpc":"2.0","method":"tools/list","id":)" + id + "}\n";
  EXPECT_TRUE(serve(input));
  std::vector<std::string> expected;
  for (const std::string& id : ids) {
    const Json reply = {{"id", *json_text::parse(id)}, {"jsonrpc", "2.0"}, {"result", {{"tools", tool_defs()}}}};
    expected.push_back(json_text::compact(reply));
  }
  EXPECT_EQ(capture.lines, expected);
}

TEST(DescriptorSink, ReportsTheSystemErrorText) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  EXPECT_EQ(server::descriptor_sink(fds[1])("{}"), std::unexpected(std::string(std::strerror(EPIPE))));
  ::close(fds[1]);

  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  EXPECT_EQ(server::descriptor_sink(full)("{}"), std::unexpected(std::string(std::strerror(ENOSPC))));
  ::close(full);
}

// A line arrives whole with its LF, even through a non-blocking descriptor
// that takes it in pieces: empty, filling the pipe's buffer exactly (the LF
// left over), far larger than the buffer, and in more pieces than one call
// takes.
// Bytes that differ from their neighbours, so that a piece resent or skipped
// in part shows.
std::string varied(std::size_t length, std::size_t seed = 0) {
  std::string text(length, ' ');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('!' + (i * 7 + seed) % 90);
  return text;
}

TEST(DescriptorSink, WritesEveryLineWhole) {
  std::vector<std::string> many;
  for (std::size_t i = 0; i < 20; ++i) many.push_back(varied(i % 3 == 0 ? 0 : i * 7000, i));
  const std::vector<std::vector<std::string>> cases = {
      {""}, {"x"}, {varied(65535)}, {varied(65536)}, {varied(3 << 20)}, many,
  };
  for (const std::vector<std::string>& pieces : cases) {
    std::string line;
    for (const std::string& piece : pieces) line += piece;
    SCOPED_TRACE(std::to_string(pieces.size()) + " pieces, " + std::to_string(line.size()) + " bytes");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::string received;
    std::thread reader([&] {
      char chunk[4096];
      for (ssize_t got; (got = ::read(fds[0], chunk, sizeof chunk)) > 0;) received.append(chunk, got);
    });
    const std::vector<std::string_view> views(pieces.begin(), pieces.end());
    EXPECT_TRUE(server::descriptor_sink(fds[1])(server::ReplyPieces(views)));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, line + "\n");
  }
}

// Without an absolute HOME there is no app folder: a relative one would lie
// in the agent's workspace.
TEST(AppDir, JoinsAnAbsoluteHomeAndTheApplicationFolder) {
  const struct {
    std::optional<std::string> home;
    std::optional<std::string> dir;
  } cases[] = {
      {std::nullopt, std::nullopt},
      {"", std::nullopt},
      {"relative", std::nullopt},
      {"./home/ana", std::nullopt},
      {"/home/ana", "/home/ana/Library/Application Support/VeltrunTeam"},
      {"/home/ana/", "/home/ana/Library/Application Support/VeltrunTeam"},
      {"/", "/Library/Application Support/VeltrunTeam"},
  };
  for (const auto& c : cases) {
    const auto dir = server::app_dir(c.home);
    EXPECT_EQ(dir ? std::optional(dir->string()) : std::nullopt, c.dir) << c.home.value_or("(unset)");
  }
}

}  // namespace
