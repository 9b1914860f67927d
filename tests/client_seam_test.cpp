#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

constexpr const char* base_url = "https://veltrun.test/api/";

// Readable in a failure message, unlike std::expected itself.
std::string text_of(const Result<Json>& result) {
  return result ? "value " + json_text::compact(*result) : "error " + result.error();
}

// A client whose transport records every exchange and gives one answer.
struct SeamClient {
  explicit SeamClient(HttpAnswer reply, std::string board_token = "board-secret") : reply(std::move(reply)) {
    dir.write("board-token.txt", board_token + "\n");
    dir.write("docs-token.txt", "docs-secret");
  }

  TempDir dir;
  HttpAnswer reply;
  std::vector<HttpExchange> seen;
  Client client{dir.path(), base_url, ClientHooks{.transport = [this](const HttpExchange& request) {
                  seen.push_back(request);
                  return reply;
                }}};
};

struct ExchangeCase {
  const char* name;
  std::function<Result<Json>(const Client&)> send;
  std::string method;
  std::string url;
  std::vector<std::string> headers;
  std::optional<std::string> body;
};

TEST(ClientSeam, SeesTheExactRequest) {
  const std::string api_agent = "User-Agent: Mozilla/5.0 VeltrunTeam/0.2 Safari/537.36";
  const std::string sign_in_agent = "User-Agent: Mozilla/5.0 VeltrunTeam/0.3 Safari/537.36";
  const std::vector<ExchangeCase> cases = {
      {"board read",
       [](const Client& c) { return c.request("GET", "board/projects?limit=100", false); },
       "GET",
       "https://veltrun.test/api/board/projects?limit=100",
       {api_agent, "Accept: application/json", "Authorization: Bearer board-secret"},
       std::nullopt},
      {"docs write with a body",
       [](const Client& c) {
         return c.request("PATCH", "docs/projects/P1/pages/PG1", true, Json{{"zeta", 1}, {"alpha", "\u0103 / \u2014"}});
       },
       "PATCH",
       "https://veltrun.test/api/docs/projects/P1/pages/PG1",
       {api_agent, "Accept: application/json", "Authorization: Bearer docs-secret", "Content-Type: application/json"},
       "{\"alpha\":\"\u0103 / \u2014\",\"zeta\":1}"},
      {"sign-in without credential or Accept header",
       [](const Client& c) {
         return c.device_request("device/token", Json{{"device_code", "d"}});
       },
       "POST",
       "https://veltrun.test/api/device/token",
       {sign_in_agent, "Accept:", "Content-Type: application/json"},
       R"({"device_code":"d"})"},
  };
  for (const ExchangeCase& row : cases) {
    SCOPED_TRACE(row.name);
    SeamClient seam(HttpReply{.status = 200, .body = "{}"});
    EXPECT_EQ(text_of(row.send(seam.client)), "value {}");
    ASSERT_EQ(seam.seen.size(), 1u);
    EXPECT_EQ(seam.seen[0].method, row.method);
    EXPECT_EQ(seam.seen[0].url, row.url);
    EXPECT_EQ(seam.seen[0].headers, row.headers);
    EXPECT_EQ(seam.seen[0].body, row.body);
  }
}

// The checks made before sending hold whatever the transport: a header line
// that would split on the wire never reaches it.
TEST(ClientSeam, UnsafeHeaderNeverReachesTheTransport) {
  SeamClient seam(HttpReply{.status = 200, .body = "[]"}, "abc\r\nX-Injected: yes");
  EXPECT_EQ(seam.client.request("GET", "board/projects", false),
            std::unexpected("Veltrun API could not be reached for GET board/projects."));
  EXPECT_TRUE(seam.seen.empty());
}

struct AnswerCase {
  const char* name;
  int status;
  std::string body;
  std::string expected;
};

// The same status and body give the same outcome whether the fake service
// sends them over a socket through libcurl or the seam hands them over.
TEST(ClientSeam, AnswersTakeTheSameWayAsLibcurlAnswers) {
  const std::string head = "error Veltrun API returned HTTP ";
  const std::vector<AnswerCase> cases = {
      {"object", 200, R"({"a":1})", R"(value {"a":1})"},
      {"201 array", 201, R"([1,"x"])", R"(value [1,"x"])"},
      {"204 is an empty object", 204, "", "value {}"},
      {"not JSON", 200, "<html>ok</html>", "error Veltrun API returned invalid JSON."},
      {"401", 401, R"({"message":"expired"})",
       "error AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again."},
      {"404 with message", 404, R"({"message":"  Not here  "})", head + "404 for GET board/projects:   Not here  "},
      {"422 array message", 422, R"({"message":["title missing",3,"phase bad"]})",
       head + "422 for GET board/projects: title missing; phase bad"},
      {"500 without message", 500, "boom",
       head + "500 for GET board/projects. No success or empty result can be inferred."},
  };
  for (const AnswerCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    service.on("GET", "board/projects", fake::Reply::raw(row.status, row.body, "application/json"));
    TempDir dir;
    dir.write("board-token.txt", "board-secret");
    const Client over_socket{dir.path(), service.base_url()};
    SeamClient seam(HttpReply{.status = row.status, .body = row.body});

    EXPECT_EQ(text_of(over_socket.request("GET", "board/projects", false)), row.expected);
    EXPECT_EQ(text_of(seam.client.request("GET", "board/projects", false)), row.expected);
  }
}

// What libcurl reports as no response, or as a status whose body could not
// be read, the seam says with Unanswered or with body_read false.
TEST(ClientSeam, NoAnswerAndUnreadBodies) {
  const struct {
    const char* name;
    HttpAnswer reply;
    std::string expected;
  } cases[] = {
      {"no answer", std::unexpected(Unanswered::maybe_sent),
       "error Veltrun API could not be reached for GET board/projects."},
      {"never sent", std::unexpected(Unanswered::never_sent),
       "error Veltrun API could not be reached for GET board/projects."},
      {"200 unread", HttpReply{.status = 200, .body = "{}", .body_read = false},
       "error Veltrun API returned invalid JSON."},
      {"500 unread keeps no message", HttpReply{.status = 500, .body = R"({"message":"boom"})", .body_read = false},
       "error Veltrun API returned HTTP 500 for GET board/projects. No success or empty result can be inferred."},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    SeamClient seam(row.reply);
    EXPECT_EQ(text_of(seam.client.request("GET", "board/projects", false)), row.expected);
    EXPECT_EQ(seam.seen.size(), 1u);
  }
}

}  // namespace
