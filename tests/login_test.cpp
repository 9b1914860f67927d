#include "login.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "build_config.hpp"
#include "client.hpp"
#include "context.hpp"
#include "fake_service.hpp"
#include "scoped_env.hpp"
#include "temp_dir.hpp"

namespace {

using namespace std::chrono_literals;

constexpr const char* start_instruction =
    "The browser was opened if browser_opened is true; otherwise use the fallback link. Always show "
    "verification_uri_complete as a clickable Markdown link labeled Open Veltrun sign-in, with the user code as "
    "fallback. Poll automatically after interval seconds while the user approves in the browser; do not ask them to "
    "report completion. Stop on authenticated, denied, expired or cancellation. Never request passwords or keys in "
    "chat.";
constexpr const char* authenticated_instruction =
    "Continue automatically: call veltrun_session(action=status), resolve any project/board choices, then load "
    "project_context. Do not ask whether login finished or require another confirmation. Credentials are kept only "
    "in this MCP process. Never retry a previous write automatically.";
constexpr const char* request_failed = "Veltrun sign-in request failed. Try again; no credentials were returned.";
constexpr const char* invalid_response = "Invalid Veltrun sign-in response.";
constexpr const char* invalid_url = "Invalid sign-in URL.";
constexpr const char* invalid_expiry = "Invalid login expiry.";
constexpr const char* invalid_credential = "Invalid credential in sign-in response.";
constexpr const char* no_pending = "No pending sign-in. Call start first.";

const std::string host = build_config::service_host;
const std::string sign_in_url = "https://" + host + "/app/device?code=ABCD-EFGH";

std::string text_of(const Result<Json>& result) {
  return result ? "value " + json_text::compact(*result) : "error " + result.error();
}
std::string error_text(const char* text) { return std::string("error ") + text; }

// The answer with the status of a redirect and a place to go.
fake::Reply moved(fake::Reply reply, int status = 307) {
  reply.status = status;
  reply.headers.emplace_back("Location", "/api/elsewhere");
  return reply;
}

Json authorization(const Json& changes = Json::object()) {
  Json answer = {{"device_code", "DEV-1"},
                 {"user_code", "ABCD-EFGH"},
                 {"verification_uri_complete", sign_in_url},
                 {"expires_in", 600},
                 {"interval", 5}};
  for (const auto& [key, value] : changes.items()) {
    if (value.is_discarded()) {
      answer.erase(key);
    } else {
      answer[key] = value;
    }
  }
  return answer;
}

// A member left out of the service's answer.
const Json absent = Json(Json::value_t::discarded);

Json start_object(const std::string& url = sign_in_url, int interval = 5, bool opened = true) {
  return {{"browser_opened", opened},
          {"expires_in", 600},
          {"instruction", start_instruction},
          {"interval", interval},
          {"status", "pending"},
          {"user_code", "ABCD-EFGH"},
          {"verification_uri_complete", url}};
}

class LoginTest : public testing::Test {
 protected:
  LoginTest() { dir.write("board-token.txt", "file-credential"); }

  Client make_client(const std::string& base_url) {
    ClientHooks hooks;
    hooks.now = [this] { return now; };
    hooks.open_browser = [this](const std::string& url) {
      opened.push_back(url);
      now += launch_takes;
      return launch_succeeds;
    };
    return {dir.path(), base_url, hooks};
  }

  std::size_t sent() const { return service.requests().size(); }

  // Starts a sign-in the service answers with answer.
  Result<Json> start_with(const Json& answer) {
    service.on("POST", "device/authorize", fake::Reply::json(answer));
    return client.login("start");
  }

  fake::Service service;
  TempDir dir;
  login::Clock::time_point now = login::Clock::time_point(1000h);
  std::chrono::seconds launch_takes{0};
  bool launch_succeeds = true;
  std::vector<std::string> opened;
  Client client = make_client(service.base_url());
};

TEST_F(LoginTest, StartAsksTheServiceOpensTheBrowserAndAnswers) {
  EXPECT_EQ(text_of(start_with(authorization())), text_of(start_object()));
  EXPECT_EQ(opened, std::vector<std::string>{sign_in_url});

  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 1u);
  const fake::Request& request = requests[0];
  EXPECT_EQ(request.line(), "POST device/authorize");
  EXPECT_EQ(request.body, "{\"deviceLabel\":\"Veltrun MCP\"}");
  EXPECT_EQ(request.header("user-agent"), "Mozilla/5.0 VeltrunTeam/0.3 Safari/537.36");
  EXPECT_EQ(request.header("content-type"), "application/json");
  // A credential file exists, yet the sign-in endpoints get none of it.
  EXPECT_FALSE(request.has_header("authorization"));
  EXPECT_FALSE(request.has_header("accept"));
  EXPECT_FALSE(request.has_header("expect"));
}

TEST_F(LoginTest, RepeatedStartAndEarlyPollsAnswerFromMemory) {
  ASSERT_TRUE(start_with(authorization()));
  now += 4s;
  EXPECT_EQ(text_of(client.login("start")), text_of(start_object()));
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));
  EXPECT_EQ(sent(), 1u);
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(LoginTest, PollsKeepTheIntervalEvenWhenTheyFail) {
  ASSERT_TRUE(start_with(authorization()));
  service.on("POST", "device/token", fake::Reply::json(Json::object(), 500));
  service.on("POST", "device/token", fake::Reply::json(Json{{"status", "pending"}}));
  now += 5s;
  EXPECT_EQ(text_of(client.login("poll")), error_text(request_failed));
  now += 4s;
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));  // early: nothing sent
  now += 1s;
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));  // "pending" from the service
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));  // early again
  EXPECT_EQ(service.lines(),
            (std::vector<std::string>{"POST device/authorize", "POST device/token", "POST device/token"}));
  const fake::Request poll = service.requests().back();
  EXPECT_EQ(poll.body, "{\"device_code\":\"DEV-1\"}");
  EXPECT_EQ(poll.header("user-agent"), "Mozilla/5.0 VeltrunTeam/0.3 Safari/537.36");
  EXPECT_FALSE(poll.has_header("authorization"));
  EXPECT_FALSE(poll.has_header("accept"));
}

TEST_F(LoginTest, ApprovalKeepsTheCredentialInMemoryForBothKinds) {
  dir.write("docs-token.txt", "docs-file-credential");
  ASSERT_TRUE(start_with(authorization()));
  service.on("POST", "device/token", fake::Reply::json(Json{{"status", "approved"}, {"key", "vlt_live_abc"}}));
  now += 5s;
  EXPECT_EQ(text_of(client.login("poll")),
            text_of(Json{{"instruction", authenticated_instruction}, {"status", "authenticated"}}));
  EXPECT_EQ(client.token(false), Result<std::string>("vlt_live_abc"));
  EXPECT_EQ(client.token(true), Result<std::string>("vlt_live_abc"));
  EXPECT_FALSE(client.auth().pending.has_value());
  EXPECT_EQ(text_of(client.login("poll")), error_text(no_pending));

  // A 401 does not drop it: the next request sends it again.
  service.on("GET", "docs/projects/P1/pages", fake::Reply::json(Json::object(), 401));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(text_of(client.request("GET", "docs/projects/P1/pages", true)),
              "error AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in "
              "again.");
  }
  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].header("authorization"), "Bearer vlt_live_abc");
  EXPECT_EQ(requests[3].header("authorization"), "Bearer vlt_live_abc");

  // Cancel leaves it; only the session's reset drops it.
  EXPECT_EQ(text_of(client.login("cancel")), "value {\"status\":\"cancelled\"}");
  EXPECT_EQ(client.token(false), Result<std::string>("vlt_live_abc"));
  client.reset_auth();
  EXPECT_EQ(client.token(false), Result<std::string>("file-credential"));
}

TEST_F(LoginTest, ANewApprovalReplacesTheCredential) {
  service.on("POST", "device/token", fake::Reply::json(Json{{"status", "approved"}, {"key", "vlt_live_one"}}));
  service.on("POST", "device/token", fake::Reply::json(Json{{"status", "approved"}, {"key", "vlt_live_two"}}));
  for (const char* key : {"vlt_live_one", "vlt_live_two"}) {
    ASSERT_TRUE(start_with(authorization()));
    now += 5s;
    ASSERT_TRUE(client.login("poll"));
    EXPECT_EQ(client.token(false), Result<std::string>(key));
  }
}

struct AnswerCase {
  const char* name;
  fake::Reply reply;
  std::string expected;
  bool still_pending;
};

TEST(LoginPoll, EveryTokenAnswerHasItsOutcome) {
  auto token_answer = [](const Json& answer) { return fake::Reply::json(answer); };
  const std::string authenticated =
      text_of(Json{{"instruction", authenticated_instruction}, {"status", "authenticated"}});
  const std::vector<AnswerCase> cases = {
      {"approved, bare prefix", token_answer({{"status", "approved"}, {"key", "vlt_live_"}}), authenticated, false},
      {"denied", token_answer({{"status", "denied"}}), "value {\"status\":\"denied\"}", false},
      {"expired by the service", token_answer({{"status", "expired"}}), "value {\"status\":\"expired\"}", false},
      {"pending", token_answer({{"status", "pending"}, {"key", "vlt_live_x"}}), text_of(start_object()), true},
      {"key in other case", token_answer({{"status", "approved"}, {"key", "VLT_LIVE_x"}}),
       error_text(invalid_credential), true},
      {"key with leading space", token_answer({{"status", "approved"}, {"key", " vlt_live_x"}}),
       error_text(invalid_credential), true},
      {"key a number", token_answer({{"status", "approved"}, {"key", 42}}), error_text(invalid_credential), true},
      {"key missing", token_answer({{"status", "approved"}}), error_text(invalid_credential), true},
      {"key with a line break", token_answer({{"status", "approved"}, {"key", "vlt_live_x\r\nX-Injected: 1"}}),
       error_text(invalid_credential), true},
      {"key at its bound",
       token_answer({{"status", "approved"}, {"key", "vlt_live_" + std::string(login::max_key_bytes - 9, 'k')}}),
       authenticated, false},
      {"key one byte past it",
       token_answer({{"status", "approved"}, {"key", "vlt_live_" + std::string(login::max_key_bytes - 8, 'k')}}),
       error_text(invalid_credential), true},
      {"status missing", token_answer(Json::object()), error_text("Unexpected sign-in status."), true},
      {"status a number", token_answer({{"status", 1}}), error_text("Unexpected sign-in status."), true},
      {"status in capitals", token_answer({{"status", "APPROVED"}, {"key", "vlt_live_x"}}),
       error_text("Unexpected sign-in status."), true},
      {"answer an array", token_answer(Json::array({"approved"})), error_text("Unexpected sign-in status."), true},
      {"401 is no sign-in text", fake::Reply::json(Json{{"message", "no"}}, 401), error_text(request_failed), true},
      {"400", fake::Reply::json(Json{{"error", "authorization_pending"}}, 400), error_text(request_failed), true},
      {"approval behind a 302", moved(fake::Reply::json(Json{{"status", "approved"}, {"key", "vlt_live_x"}}), 302),
       error_text(request_failed), true},
      {"204", fake::Reply::empty(204), error_text(invalid_response), true},
      {"empty 200", fake::Reply::empty(200), error_text(invalid_response), true},
      {"html 200", fake::Reply::raw(200, "<html>", "text/html"), error_text(invalid_response), true},
  };
  for (const AnswerCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    TempDir dir;
    login::Clock::time_point now = login::Clock::time_point(1h);
    Client client{dir.path(), service.base_url(),
                  ClientHooks{[&] { return now; }, [](const std::string&) { return true; }}};
    service.on("POST", "device/authorize", fake::Reply::json(authorization()));
    service.on("POST", "device/token", row.reply);
    ASSERT_TRUE(client.login("start"));
    now += 5s;
    EXPECT_EQ(text_of(client.login("poll")), row.expected);
    EXPECT_EQ(client.auth().pending.has_value(), row.still_pending);
    EXPECT_EQ(client.auth().token.has_value(), row.expected == authenticated);
  }
}

TEST_F(LoginTest, UnreachableTokenEndpointKeepsThePendingSignIn) {
  auto vanishing = std::make_unique<fake::Service>();
  vanishing->on("POST", "device/authorize", fake::Reply::json(authorization()));
  Client offline = make_client(vanishing->base_url());
  ASSERT_TRUE(offline.login("start"));
  vanishing.reset();
  now += 5s;
  EXPECT_EQ(text_of(offline.login("poll")), error_text(request_failed));
  EXPECT_TRUE(offline.auth().pending.has_value());
  EXPECT_EQ(text_of(offline.login("poll")), text_of(start_object()));
  EXPECT_EQ(text_of(offline.login("start")), text_of(start_object()));
}

TEST_F(LoginTest, ExpiryIsNoticedByTheNextPollOrStart) {
  ASSERT_TRUE(start_with(authorization()));
  service.on("POST", "device/token", fake::Reply::json(Json{{"status", "pending"}}));
  now += 599s;
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));
  now += 1s;
  EXPECT_EQ(text_of(client.login("poll")),
            "value {\"instruction\":\"Start login again if the user still wants to connect.\",\"status\":\"expired\"}");
  EXPECT_EQ(text_of(client.login("poll")), error_text(no_pending));
  EXPECT_EQ(sent(), 2u);

  // An expired sign-in found by a start makes way for a new one.
  service.on("POST", "device/authorize", fake::Reply::json(authorization({{"user_code", "NEW-CODE"}})));
  ASSERT_TRUE(client.login("start"));
  now += 600s;
  const auto restarted = client.login("start");
  ASSERT_TRUE(restarted);
  EXPECT_EQ(context::field(*restarted, "user_code"), "NEW-CODE");
  EXPECT_EQ(service.lines(), (std::vector<std::string>{"POST device/authorize", "POST device/token",
                                                       "POST device/authorize", "POST device/authorize"}));
}

// The deadlines count from the moment the result is ready, after the
// browser launch.
TEST_F(LoginTest, DeadlinesStartAfterTheBrowserLaunch) {
  launch_takes = 30s;
  ASSERT_TRUE(start_with(authorization()));
  service.on("POST", "device/token", fake::Reply::json(Json{{"status", "pending"}}));
  now += 4s;
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));
  EXPECT_EQ(sent(), 1u);
  now += 595s;
  EXPECT_EQ(text_of(client.login("poll")), text_of(start_object()));
  EXPECT_EQ(sent(), 2u);
  now += 1s;
  EXPECT_EQ(context::field(*client.login("poll"), "status"), "expired");
}

TEST_F(LoginTest, FailedLaunchStillStarts) {
  launch_succeeds = false;
  EXPECT_EQ(text_of(start_with(authorization())), text_of(start_object(sign_in_url, 5, false)));
  EXPECT_TRUE(client.auth().pending.has_value());
}

TEST_F(LoginTest, CancelAndUnknownActions) {
  EXPECT_EQ(text_of(client.login("cancel")), "value {\"status\":\"cancelled\"}");
  ASSERT_TRUE(start_with(authorization()));
  for (const char* action : {"", "Start", "POLL", " poll", "cancel ", "stop"}) {
    SCOPED_TRACE(action);
    EXPECT_EQ(text_of(client.login(action)), error_text("action must be start, poll or cancel."));
  }
  EXPECT_TRUE(client.auth().pending.has_value());
  EXPECT_EQ(text_of(client.login("cancel")), "value {\"status\":\"cancelled\"}");
  EXPECT_EQ(text_of(client.login("poll")), error_text(no_pending));
  EXPECT_EQ(sent(), 1u);
}

struct StartCase {
  const char* name;
  fake::Reply reply;
  const char* error;
};

fake::Reply raw_answer(const std::string& text) { return fake::Reply::raw(200, text, "application/json"); }

// A sound sign-in URL of exactly length bytes, padded in its query.
std::string padded_url(std::size_t length) {
  std::string url = sign_in_url + "&pad=";
  return url + std::string(length - url.size(), 'x');
}

fake::Reply with_url(const std::string& url) {
  return fake::Reply::json(authorization({{"verification_uri_complete", url}}));
}

// Whatever fails a check stores nothing, opens no browser, and a poll then
// finds no sign-in.
void expect_start_refused(const std::vector<StartCase>& cases) {
  for (const StartCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    TempDir dir;
    bool launched = false;
    Client client{dir.path(), service.base_url(),
                  ClientHooks{[] { return login::Clock::time_point(1h); },
                              [&](const std::string&) {
                                launched = true;
                                return true;
                              }}};
    service.on("POST", "device/authorize", row.reply);
    EXPECT_EQ(text_of(client.login("start")), error_text(row.error));
    EXPECT_FALSE(launched);
    EXPECT_EQ(text_of(client.login("poll")), error_text(no_pending));
  }
}

TEST(LoginStart, AnswerCutShortIsAnInvalidResponse) {
  struct Case {
    const char* status_line;
    const char* error;
  };
  const Case cases[] = {{"HTTP/1.1 200 OK", invalid_response}, {"HTTP/1.1 503 Busy", request_failed}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status_line);
    fake::RawService raw(std::string(c.status_line) + "\r\nContent-Length: 300\r\n\r\n{\"device_code\":");
    TempDir dir;
    Client client{dir.path(), raw.base_url()};
    EXPECT_EQ(text_of(client.login("start")), error_text(c.error));
  }
}

TEST(LoginStart, SignInUrlMustLeadToTheServiceDevicePage) {
  expect_start_refused({
      {"missing", fake::Reply::json(authorization({{"verification_uri_complete", absent}})), invalid_url},
      {"not a string", fake::Reply::json(authorization({{"verification_uri_complete", 5}})), invalid_url},
      {"empty", with_url(""), invalid_url},
      {"relative", with_url("/app/device?code=X"), invalid_url},
      {"no scheme", with_url(host + "/device"), invalid_url},
      {"answer not an object", fake::Reply::json(Json::array({authorization()})), invalid_url},
      {"trailing slash", with_url("https://" + host + "/device/"), invalid_response},
      {"plain http", with_url("http://" + host + "/device"), invalid_response},
      {"user and password", with_url("https://user:pass@" + host + "/device"), invalid_response},
      {"user only", with_url("https://user@" + host + "/device"), invalid_response},
      {"password only", with_url("https://:pass@" + host + "/device"), invalid_response},
      {"other port", with_url("https://" + host + ":8443/device"), invalid_response},
      {"port 80", with_url("https://" + host + ":80/device"), invalid_response},
      {"subdomain", with_url("https://a." + host + "/device"), invalid_response},
      {"suffix host", with_url("https://" + host + ".evil.example/device"), invalid_response},
      {"trailing dot", with_url("https://" + host + "./device"), invalid_response},
      {"ip address", with_url("https://127.0.0.1/device"), invalid_response},
      {"other path", with_url("https://" + host + "/app/devices"), invalid_response},
      {"root path", with_url("https://" + host), invalid_response},
      {"double slash", with_url("https://" + host + "//device"), invalid_response},
      {"path case", with_url("https://" + host + "/Device"), invalid_response},
      {"user info hides another host", with_url("https://" + host + "\\@evil.example/device"), invalid_response},
      {"other host, ours in the fragment", with_url("https://evil.example#@" + host + "/device"), invalid_response},
      {"other scheme", with_url("ftp://" + host + "/device"), invalid_response},
      {"one byte past the length bound", with_url(padded_url(login::max_sign_in_url_bytes + 1)), invalid_response},
  });
}

// libcurl's parser is stricter than a browser's here; such URLs are refused.
TEST(LoginStart, UrlsOnlyABrowserWouldRepairAreRefused) {
  expect_start_refused({
      {"leading space", with_url(" https://" + host + "/device"), invalid_url},
      {"inner tab", with_url("https://" + host + "/de\tvice"), invalid_url},
      {"backslashes", with_url("https:\\\\" + host + "\\device"), invalid_url},
      {"no slashes", with_url("https:" + host + "/device"), invalid_url},
      {"inner NUL", with_url("https://" + host + "/device" + std::string(1, '\0') + "x"), invalid_url},
      {"encoded dot segment", with_url("https://" + host + "/app/%2e%2e/device"), invalid_response},
  });
}

TEST(LoginStart, CodesAndExpiryAreChecked) {
  expect_start_refused({
      {"device code empty", fake::Reply::json(authorization({{"device_code", ""}})), invalid_response},
      {"device code missing", fake::Reply::json(authorization({{"device_code", absent}})), invalid_response},
      {"user code empty", fake::Reply::json(authorization({{"user_code", ""}})), invalid_response},
      {"user code a number", fake::Reply::json(authorization({{"user_code", 7}})), invalid_response},
      {"expiry missing", fake::Reply::json(authorization({{"expires_in", absent}})), invalid_expiry},
      {"expiry 0", fake::Reply::json(authorization({{"expires_in", 0}})), invalid_expiry},
      {"expiry 3601", fake::Reply::json(authorization({{"expires_in", 3601}})), invalid_expiry},
      {"expiry -5", fake::Reply::json(authorization({{"expires_in", -5}})), invalid_expiry},
      {"expiry 600.0", fake::Reply::json(authorization({{"expires_in", 600.0}})), invalid_expiry},
      {"expiry a string", fake::Reply::json(authorization({{"expires_in", "600"}})), invalid_expiry},
      {"expiry with exponent",
       raw_answer(R"({"device_code":"D","user_code":"U","verification_uri_complete":")" + sign_in_url +
                  R"(","expires_in":6e2})"),
       invalid_expiry},
      {"expiry minus zero",
       raw_answer(R"({"device_code":"D","user_code":"U","verification_uri_complete":")" + sign_in_url +
                  R"(","expires_in":-0})"),
       invalid_expiry},
      {"authorize 500", fake::Reply::json(Json{{"message", "down"}}, 500), request_failed},
      {"authorize 401", fake::Reply::json(Json::object(), 401), request_failed},
      // A sign-in exchange follows no redirect, and a redirect is no answer.
      {"authorize 307 with a complete body", moved(fake::Reply::json(authorization())), request_failed},
      {"authorize 204", fake::Reply::empty(204), invalid_response},
      {"authorize empty 200", fake::Reply::empty(200), invalid_response},
  });
}

struct UrlCase {
  const char* name;
  std::string url;
};

TEST(LoginStart, AcceptedSignInUrls) {
  std::string upper = host;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<UrlCase> cases = {
      {"app path with code in the query", "https://" + host + "/app/device?code=X"},
      {"device path", "https://" + host + "/device"},
      {"host in capitals", "https://" + upper + "/device"},
      {"scheme in capitals", "HTTPS://" + host + "/device"},
      {"explicit port 443", "https://" + host + ":443/device"},
      {"fragment", "https://" + host + "/device#code=X"},
      {"empty user info", "https://@" + host + "/device"},
      {"dot segments resolve to /device", "https://" + host + "/app/../device"},
      {"single dot segment", "https://" + host + "/app/./device?x=1"},
      {"at the length bound", padded_url(login::max_sign_in_url_bytes)},
  };
  for (const UrlCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    TempDir dir;
    std::vector<std::string> opened;
    Client client{dir.path(), service.base_url(),
                  ClientHooks{[] { return login::Clock::time_point(1h); },
                              [&](const std::string& url) {
                                opened.push_back(url);
                                return true;
                              }}};
    service.on("POST", "device/authorize", with_url(row.url));
    const auto started = client.login("start");
    ASSERT_TRUE(started) << started.error();
    // The browser gets the text exactly as the service sent it.
    EXPECT_EQ(context::field(*started, "verification_uri_complete"), row.url);
    EXPECT_EQ(opened, std::vector<std::string>{row.url});
  }
}

struct IntervalCase {
  const char* name;
  fake::Reply reply;
  int seconds;
};

TEST(LoginStart, IntervalIsClampedOrDefaulted) {
  const std::string prefix =
      R"({"device_code":"D","user_code":"U","verification_uri_complete":")" + sign_in_url + R"(","expires_in":3600)";
  const std::vector<IntervalCase> cases = {
      {"absent", fake::Reply::json(authorization({{"interval", absent}})), 5},
      {"a string", fake::Reply::json(authorization({{"interval", "10"}})), 5},
      {"zero", fake::Reply::json(authorization({{"interval", 0}})), 1},
      {"one", fake::Reply::json(authorization({{"interval", 1}})), 1},
      {"59", fake::Reply::json(authorization({{"interval", 59}})), 59},
      {"60", fake::Reply::json(authorization({{"interval", 60}})), 60},
      {"120", fake::Reply::json(authorization({{"interval", 120}})), 60},
      {"fraction", fake::Reply::json(authorization({{"interval", 2.5}})), 5},
      {"negative", fake::Reply::json(authorization({{"interval", -3}})), 5},
      {"minus zero", raw_answer(prefix + R"(,"interval":-0})"), 5},
      {"exponent", raw_answer(prefix + R"(,"interval":1e1})"), 5},
      {"huge", raw_answer(prefix + R"(,"interval":18446744073709551615})"), 60},
  };
  for (const IntervalCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    TempDir dir;
    login::Clock::time_point now = login::Clock::time_point(1h);
    Client client{dir.path(), service.base_url(),
                  ClientHooks{[&] { return now; }, [](const std::string&) { return true; }}};
    service.on("POST", "device/authorize", row.reply);
    service.on("POST", "device/token", fake::Reply::json(Json{{"status", "pending"}}));
    const auto started = client.login("start");
    ASSERT_TRUE(started) << started.error();
    EXPECT_EQ((*started)["interval"], row.seconds);
    now += std::chrono::seconds(row.seconds - 1);
    ASSERT_TRUE(client.login("poll"));
    EXPECT_EQ(service.requests().size(), 1u);
    now += 1s;
    ASSERT_TRUE(client.login("poll"));
    EXPECT_EQ(service.requests().size(), 2u);
  }
}

TEST(LoginStart, ExpiryLimitsAreInclusive) {
  for (int seconds : {1, 3600}) {
    fake::Service service;
    TempDir dir;
    Client client{dir.path(), service.base_url(),
                  ClientHooks{[] { return login::Clock::time_point(1h); }, [](const std::string&) { return true; }}};
    service.on("POST", "device/authorize", fake::Reply::json(authorization({{"expires_in", seconds}})));
    const auto started = client.login("start");
    ASSERT_TRUE(started) << seconds << ": " << started.error();
    EXPECT_EQ((*started)["expires_in"], seconds);
  }
}

// A stand-in for the platform's URL launcher, found first on PATH, that
// records its arguments and where its standard streams lead.
class BrowserTest : public testing::Test {
 protected:
#ifdef __APPLE__
  static constexpr const char* launcher = "open";
#else
  static constexpr const char* launcher = "xdg-open";
#endif

  void install(const std::string& ending) {
    const std::string script =
        "#!/bin/sh\n"
        "printf '%s\\n' \"$#\" \"$@\" > \"" +
        (bin.path() / "argv").string() +
        "\"\n"
        "streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
        "printf '%s\\n' \"$streams\" > \"" +
        (bin.path() / "streams").string() + "\"\n" + ending + "\n";
    bin.write(launcher, script);
    std::filesystem::permissions(bin.path() / launcher, std::filesystem::perms::owner_all);
  }

  std::string recorded(const char* name) const {
    std::ifstream in(bin.path() / name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  TempDir bin;
  ScopedEnv path{"PATH",
                 (bin.path().string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")).c_str()};
  login::Launchers left_running;
};

TEST_F(BrowserTest, RunsTheLauncherWithTheUrlAsItsOnlyArgument) {
  install("exit 0");
  const std::string url = "https://veltrun.team/device?code=A B&x='y'\"$(touch z)\"";
  EXPECT_TRUE(login::open_browser(url, left_running));
  EXPECT_EQ(recorded("argv"), "1\n" + url + "\n");
  EXPECT_FALSE(std::filesystem::exists(bin.path() / "z"));
#ifndef __APPLE__
  EXPECT_EQ(recorded("streams"), "/dev/null\n/dev/null\n/dev/null\n");
#endif
}

TEST_F(BrowserTest, OnlyANormalZeroExitCountsAsOpened) {
  install("exit 3");
  EXPECT_FALSE(login::open_browser("https://veltrun.team/device", left_running));
  install("kill -TERM $$");
  EXPECT_FALSE(login::open_browser("https://veltrun.team/device", left_running));
  install("exit 0");
  EXPECT_TRUE(login::open_browser("https://veltrun.team/device", left_running));
  // Only a launcher still running is kept for a later reaping.
  EXPECT_TRUE(left_running.empty());
}

TEST_F(BrowserTest, MissingLauncherIsNoSuccess) {
  TempDir empty;
  ScopedEnv nowhere("PATH", empty.path().c_str());
  EXPECT_FALSE(login::open_browser("https://veltrun.team/device", left_running));
}

TEST_F(BrowserTest, LauncherGetsTheDefaultBrokenPipeSignal) {
  // The server ignores SIGPIPE; a launcher that inherited that would not stop
  // when its reader goes away.
  install("grep SigIgn /proc/$$/status > \"" + (bin.path() / "ignored").string() + "\"");
  auto* previous = std::signal(SIGPIPE, SIG_IGN);
  const bool opened = login::open_browser("https://veltrun.team/device", left_running);
  std::signal(SIGPIPE, previous);
  ASSERT_TRUE(opened);
  const std::string line = recorded("ignored");
  ASSERT_TRUE(line.starts_with("SigIgn:")) << line;
  const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(mask & (1ULL << (SIGPIPE - 1)), 0u) << line;
}

}  // namespace
