// Faults a network, a service or the local disk can produce, injected through
// the in-process fakes: each ends in its fixed sentence, no write reaches the
// service twice, and the client and the session keep the state they had.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "build_config.hpp"
#include "client.hpp"
#include "context.hpp"
#include "create.hpp"
#include "edit.hpp"
#include "fake_service.hpp"
#include "process.hpp"
#include "reading.hpp"
#include "scoped_env.hpp"
#include "server.hpp"
#include "session.hpp"
#include "temp_dir.hpp"
#include "tracking.hpp"
#include "work_items.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* invalid_json = "Veltrun API returned invalid JSON.";
constexpr const char* token_unavailable = "AUTH_REQUIRED: Token unavailable. Use veltrun_login after session opt-in.";
constexpr const char* auth_expired =
    "AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again.";
constexpr const char* sign_in_failed = "Veltrun sign-in request failed. Try again; no credentials were returned.";
constexpr const char* invalid_sign_in = "Invalid Veltrun sign-in response.";
constexpr const char* creation_unknown_outcome =
    "Creation is not confirmed. Do not retry automatically: check the destination for an existing result first.";
constexpr const char* edit_unknown_outcome =
    "Edit is not confirmed. Do not retry automatically. Read the page and reconcile its current content/version "
    "first.";

std::string unreachable(const std::string& method, const std::string& path) {
  return "Veltrun API could not be reached for " + method + " " + path + ".";
}

std::string text_of(const Result<Json>& result) {
  return result ? "value " + json_text::compact(*result) : "error " + result.error();
}
std::string text_of(const Result<std::string>& result) {
  return result ? "value " + *result : "error " + result.error();
}

// Every field of a session, to compare before and after.
Json snapshot(const Session& session) {
  Json all = session.status("snapshot", {});
  all["disabled"] = session.disabled;
  all["opted_in"] = session.opted_in;
  all["work_item"] = session.work_item;
  return all;
}

// --- Raw answers ---------------------------------------------------------

void send_text(int connection, const std::string& bytes) {
  ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// A head whose Content-Length promises the whole body.
std::string whole(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Status\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// A head that promises more body than follows.
std::string cut(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " Status\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size() + 100) +
         "\r\n\r\n" + body;
}

// Sends the bytes, then resets the connection (RST, not an orderly close).
fake::RawHandler reset_after(std::string bytes) {
  return [bytes = std::move(bytes)](int connection, const std::string&) {
    send_text(connection, bytes);
    // The reset would discard bytes still unacknowledged, and nothing tells
    // when the client's side has taken them: a short poll.
    const auto give_up = Clock::now() + 5s;
    int unacknowledged = 0;
    while (::ioctl(connection, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 && Clock::now() < give_up) {
      std::this_thread::sleep_for(1ms);
    }
    const linger abort_on_close{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  };
}

// Sends the bytes and closes the connection in order.
fake::RawHandler answer_with(std::string bytes) {
  return [bytes = std::move(bytes)](int connection, const std::string&) {
    send_text(connection, bytes);
    ::shutdown(connection, SHUT_WR);
  };
}

fake::RawHandler redirect(int status) {
  return answer_with("HTTP/1.1 " + std::to_string(status) +
                     " Moved\r\nLocation: /api/elsewhere\r\nContent-Length: 0\r\n\r\n");
}

const std::string ten_thousand_deep = std::string(10000, '[') + std::string(10000, ']');

// A raw fake that records the request line of everything it reads and
// answers the requests whose line matches a route with that route's handler.
class RawRoutes {
 public:
  explicit RawRoutes(fake::RawHandler fallback)
      : raw_([this, fallback = std::move(fallback)](int connection, const std::string& request) {
          const std::string line = request.substr(0, request.find(' ', request.find(' ') + 1));
          {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
          }
          for (const auto& [prefix, handler] : routes_) {
            if (line == prefix) return handler(connection, request);
          }
          fallback(connection, request);
        }) {}

  // Set before the first request; the fake's thread reads them.
  void on(const std::string& line, fake::RawHandler handler) { routes_.emplace_back(line, std::move(handler)); }
  std::string base_url() const { return raw_.base_url(); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::vector<std::pair<std::string, fake::RawHandler>> routes_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  fake::RawService raw_;  // last: its thread must stop before the rest goes
};

const std::string sign_in_url = "https://" + std::string(build_config::service_host) + "/app/device?code=ABCD";

std::string authorization() {
  return json_text::compact(Json{{"device_code", "DEV-1"},
                                 {"user_code", "ABCD"},
                                 {"verification_uri_complete", sign_in_url},
                                 {"expires_in", 600},
                                 {"interval", 5}});
}

struct AnswerFault {
  const char* name;
  fake::RawHandler handler;
  std::string request_error;  // of Client::request for GET board/projects
  std::string sign_in_error;  // of a sign-in start and of a poll
};

std::vector<AnswerFault> answer_faults() {
  const std::string projects_500 =
      "Veltrun API returned HTTP 500 for GET board/projects. No success or empty "
      "result can be inferred.";
  return {
      {"reset before any byte", reset_after(""), unreachable("GET", "board/projects"), sign_in_failed},
      {"reset after the status line", reset_after("HTTP/1.1 200 OK\r\n"), unreachable("GET", "board/projects"),
       sign_in_failed},
      {"reset inside the head", reset_after("HTTP/1.1 200 OK\r\nContent-Type: applic"),
       unreachable("GET", "board/projects"), sign_in_failed},
      {"reset inside a 200 body", reset_after(cut(200, R"({"items":[{"id":"W1"},)")), invalid_json, invalid_sign_in},
      {"reset inside a chunked 200 body",
       reset_after("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n[1,2,3\r\n"), invalid_json,
       invalid_sign_in},
      {"reset inside a 401 body", reset_after(cut(401, "{\"mess")), auth_expired, sign_in_failed},
      {"reset inside a 500 body after its message", reset_after(cut(500, R"({"message":"boom"})")), projects_500,
       sign_in_failed},
      {"invalid UTF-8 inside a string", answer_with(whole(200, "[{\"id\":\"W\xff\"}]")), invalid_json, invalid_sign_in},
      {"overlong UTF-8 encoding of a slash", answer_with(whole(200, "[\"\xc0\xaf\"]")), invalid_json, invalid_sign_in},
      {"lone surrogate escape", answer_with(whole(200, R"(["\ud800"])")), invalid_json, invalid_sign_in},
      {"invalid UTF-8 in an error message", answer_with(whole(500, "{\"message\":\"bad \xfe\"}")), projects_500,
       sign_in_failed},
      {"10,000 levels deep", answer_with(whole(200, ten_thousand_deep)), invalid_json, invalid_sign_in},
      {"10,000 levels deep, never closed", answer_with(whole(200, std::string(10000, '['))), invalid_json,
       invalid_sign_in},
      {"10,000 levels deep in an error body", answer_with(whole(500, ten_thousand_deep)), projects_500, sign_in_failed},
  };
}

// The same broken answer to a read, a sign-in start and a sign-in poll: one
// sentence each, one request each, and the sign-in state as it was.
TEST(FaultAnswers, EachBrokenAnswerHasItsSentenceAndChangesNothing) {
  for (const AnswerFault& fault : answer_faults()) {
    SCOPED_TRACE(fault.name);
    bool authorize_works = false;
    RawRoutes service(fault.handler);
    service.on("POST /api/device/authorize", [&](int connection, const std::string& request) {
      if (authorize_works) return answer_with(whole(200, authorization()))(connection, request);
      fault.handler(connection, request);
    });
    TempDir app;
    app.write("board-token.txt", "board-secret");
    Clock::time_point now = Clock::time_point(1h);
    std::vector<std::string> opened;
    ClientHooks hooks;
    hooks.now = [&] { return now; };
    hooks.open_browser = [&](const std::string& url) {
      opened.push_back(url);
      return true;
    };
    Client client{app.path(), service.base_url(), hooks};

    EXPECT_EQ(text_of(client.request("GET", "board/projects", false)), "error " + fault.request_error);

    EXPECT_EQ(text_of(client.login("start")), "error " + fault.sign_in_error);
    EXPECT_FALSE(client.auth().pending.has_value());
    EXPECT_TRUE(opened.empty());

    authorize_works = true;
    const auto started = client.login("start");
    ASSERT_TRUE(started) << started.error();
    now += 5s;
    EXPECT_EQ(text_of(client.login("poll")), "error " + fault.sign_in_error);
    ASSERT_TRUE(client.auth().pending.has_value());
    EXPECT_EQ(client.auth().pending->start_response, *started);
    EXPECT_FALSE(client.auth().token.has_value());

    EXPECT_EQ(service.lines(), (std::vector<std::string>{"GET /api/board/projects", "POST /api/device/authorize",
                                                         "POST /api/device/authorize", "POST /api/device/token"}));
  }
}

// A failure of the session gate's project list drops the working copy: the
// session keeps its project and board.
TEST(FaultAnswers, SessionGateFailureLeavesTheSessionAsItWas) {
  for (const AnswerFault& fault : answer_faults()) {
    SCOPED_TRACE(fault.name);
    fake::RawService service(fault.handler);
    TempDir app;
    app.write("board-token.txt", "board-secret");
    Client client{app.path(), service.base_url()};
    Session session;
    session.opted_in = true;
    session.project = Json{{"id", "P1"}, {"name", "Alpha"}};
    session.board = Json{{"id", "B1"}, {"name", "Main"}};
    session.source = "session selection";
    session.work_item = "DB-7";
    const Json before = snapshot(session);

    const auto outcome = session_context(session, client, Json{{"action", "status"}});
    if (fault.request_error.starts_with("AUTH_REQUIRED:")) {
      ASSERT_TRUE(outcome);
      EXPECT_EQ((*outcome)["status"], "needs_auth");
    } else {
      EXPECT_EQ(text_of(outcome), "error " + fault.request_error);
    }
    EXPECT_EQ(snapshot(session), before);
    EXPECT_EQ(service.requests(), 1);
  }
}

// --- Writes --------------------------------------------------------------

// How a broken answer to a write reads in Client::request's words.
enum class Kind { unreachable, unreadable, redirect };

struct WriteFault {
  const char* name;
  fake::RawHandler handler;
  Kind kind;
  int status = 0;  // of a redirect
};

struct Write {
  const char* name;
  std::vector<std::string> lines;  // every request line the write may cause, the faulty one last
  std::function<ToolOutcome(const Client&)> run;
  // The tool's text ("error: ..." or "value: ...") for the request's error text.
  std::function<std::string(const std::string& request_error)> expected;
};

std::string outcome_text(const ToolOutcome& outcome) {
  return outcome ? "value: " + *outcome : "error: " + outcome.error();
}

std::string request_error(const WriteFault& fault, const std::string& line) {
  const std::string method = line.substr(0, line.find(' '));
  const std::string path = line.substr(line.find(" /api/") + 6);
  switch (fault.kind) {
    case Kind::unreachable:
      return unreachable(method, path);
    case Kind::unreadable:
      return invalid_json;
    case Kind::redirect:
      break;
  }
  return "Veltrun API returned HTTP " + std::to_string(fault.status) + " for " + method + " " + path +
         ". No success or empty result can be inferred.";
}

std::vector<WriteFault> write_faults() {
  return {
      {"reset before any byte", reset_after(""), Kind::unreachable},
      {"reset inside the head", reset_after("HTTP/1.1 201 Created\r\nContent-Le"), Kind::unreachable},
      {"reset inside the body", reset_after(cut(201, R"({"workItem":{"id":"W9")")), Kind::unreadable},
      {"body cut short", answer_with(cut(200, R"({"page":{)")), Kind::unreadable},
      {"redirect 301", redirect(301), Kind::redirect, 301},
      {"redirect 302", redirect(302), Kind::redirect, 302},
      {"redirect 303", redirect(303), Kind::redirect, 303},
      {"redirect 307 with a JSON body",
       answer_with("HTTP/1.1 307 Moved\r\nLocation: /api/elsewhere\r\nContent-Type: application/json\r\n"
                   "Content-Length: 2\r\n\r\n{}"),
       Kind::redirect, 307},
      {"redirect 308", redirect(308), Kind::redirect, 308},
      {"invalid UTF-8", answer_with(whole(200, "{\"workItem\":{\"id\":\"\xff\"}}")), Kind::unreadable},
      {"10,000 levels deep", answer_with(whole(200, ten_thousand_deep)), Kind::unreadable},
  };
}

constexpr const char* comment_unknown_outcome =
    "Comment is not confirmed. Do not retry automatically: read the work item's comments with get_work_item first.";
constexpr const char* review_unknown_outcome =
    "Review is not confirmed. Do not retry automatically: read the work item's history and review findings with "
    "get_work_item first.";
constexpr const char* finding_unknown_outcome =
    "Finding update is not confirmed. Do not retry automatically: read the work item's review findings with "
    "get_work_item first.";
constexpr const char* phase_unknown_outcome =
    "Phase change is not confirmed. Do not retry automatically: read the work item's phase with get_work_item "
    "first.";
constexpr const char* assignment_unknown_outcome = "Assignment outcome unverified. Read before retrying.";

const std::string item_path = "board/projects/P1/work-items/W1";
const Json held_item = {{"id", "W1"}, {"key", "DB-7"}, {"boardId", "B1"}, {"assigneeUserId", "user-1"}};
const Json unheld_item = {{"id", "W1"}, {"key", "DB-7"}, {"boardId", "B1"}, {"title", "Retry flow"}};

std::vector<Write> writes() {
  auto then = [](const char* sentence) {
    return [sentence](const std::string& error) { return "error: " + error + " " + sentence; };
  };
  return {
      {"create_work_item",
       {"POST /api/board/projects/P1/work-items"},
       [](const Client& client) {
         return create::work_item(client, "P1", "B1", Json{{"title", "Add retries"}});
       },
       then(creation_unknown_outcome)},
      {"update_doc_page",
       {"GET /api/docs/projects/P1/pages/PG1", "PATCH /api/docs/projects/P1/pages/PG1"},
       [](const Client& client) {
         return edit::doc_page(client, "P1", Json{{"page_id", "PG1"}, {"expected_version", 3}, {"title", "New"}});
       },
       then(edit_unknown_outcome)},
      {"assign_work_item",
       {"PATCH /api/board/projects/P1/work-items/W1/assignment"},
       [](const Client& client) {
         return tracking::assign(client, "P1", "B1", held_item, Json{{"assignee_user_id", nullptr}});
       },
       then(assignment_unknown_outcome)},
      {"post_comment",
       {"POST /api/" + item_path + "/comments"},
       [](const Client& client) {
         return work_items::post_comment(client, {held_item, item_path}, Json{{"body", "Fixed."}});
       },
       then(comment_unknown_outcome)},
      {"post_review",
       {"POST /api/" + item_path + "/review-findings/verdict"},
       [](const Client& client) {
         return work_items::post_review(client, {held_item, item_path},
                                        Json{{"verdict", "approve"}, {"summary", "ok"}});
       },
       then(review_unknown_outcome)},
      {"resolve_finding",
       {"PATCH /api/" + item_path + "/review-findings/F1"},
       [](const Client& client) {
         return work_items::resolve_finding(client, {held_item, item_path},
                                            Json{{"finding_id", "F1"}, {"status", "fixed"}});
       },
       then(finding_unknown_outcome)},
      // Not known to be refused: no findings are read to explain a refusal.
      {"update_phase to done",
       {"PATCH /api/" + item_path + "/phase"},
       [](const Client& client) {
         return work_items::update_phase(client, {held_item, item_path}, Json{{"phase", "done"}});
       },
       then(phase_unknown_outcome)},
      // The phase changed; only the automatic assignment is in doubt.
      {"update_phase's automatic assignment",
       {"PATCH /api/" + item_path + "/phase", "PATCH /api/" + item_path + "/assignment"},
       [](const Client& client) {
         return work_items::update_phase(client, {unheld_item, item_path}, Json{{"phase", "review"}});
       },
       [](const std::string& error) {
         return "value: DB-7 moved to review. Phase changed, but the automatic assignment could not be confirmed: " +
                error + " " + assignment_unknown_outcome;
       }},
  };
}

// A write whose answer is lost, unusable or a redirect is reported as
// unconfirmed, never as done, and reaches the service exactly once: a
// redirect is not followed.
TEST(FaultWrites, BrokenAnswerToAWriteIsNeitherRepeatedNorASuccess) {
  const Json page = {{"page", {{"id", "PG1"}, {"projectId", "P1"}, {"version", 3}, {"title", "Design"}}}};
  for (const Write& write : writes()) {
    for (const WriteFault& fault : write_faults()) {
      SCOPED_TRACE(std::string(write.name) + ": " + fault.name);
      RawRoutes service(fault.handler);
      // Every request before the faulty one succeeds.
      for (std::size_t i = 0; i + 1 < write.lines.size(); ++i) {
        const bool page_read = write.lines[i].starts_with("GET ");
        service.on(write.lines[i], answer_with(whole(200, page_read ? json_text::compact(page) : "{}")));
      }
      TempDir app;
      app.write("board-token.txt", "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ1c2VyLTkifQ.sig");
      app.write("docs-token.txt", "docs-secret");
      Client client{app.path(), service.base_url()};

      const std::string faulty = write.lines.back();
      EXPECT_EQ(outcome_text(write.run(client)), write.expected(request_error(fault, faulty)));
      EXPECT_EQ(service.lines(), write.lines);
    }
  }
}

// A refusal is no unknown outcome: the service's own text, and nothing more.
TEST(FaultWrites, RefusedWorkItemWritesKeepTheServiceText) {
  fake::Service service;
  service.on("POST", item_path + "/comments", fake::Reply::json(Json{{"message", "Item is locked."}}, 409));
  service.on("PATCH", item_path + "/phase", fake::Reply::empty(422));
  service.on("GET", item_path + "/review-findings", fake::Reply::json(Json{{"findings", Json::array()}}));
  TempDir app;
  app.write("board-token.txt", "board-secret");
  Client client{app.path(), service.base_url()};
  EXPECT_EQ(outcome_text(work_items::post_comment(client, {held_item, item_path}, Json{{"body", "x"}})),
            "error: Veltrun API returned HTTP 409 for POST " + item_path + "/comments: Item is locked.");
  EXPECT_EQ(outcome_text(work_items::update_phase(client, {held_item, item_path}, Json{{"phase", "done"}})),
            "error: Veltrun API returned HTTP 422 for PATCH " + item_path +
                "/phase. No success or empty result can be inferred.");
  // The refused move to Done looks for the findings that block it.
  EXPECT_EQ(service.lines(),
            (std::vector<std::string>{"POST " + item_path + "/comments", "PATCH " + item_path + "/phase",
                                      "GET " + item_path + "/review-findings"}));
}

TEST(FaultRedirects, WritesStayWhereTheyWereSent) {
  for (int status : {301, 302, 303, 307, 308}) {
    for (const char* method : {"POST", "PATCH"}) {
      SCOPED_TRACE(std::to_string(status) + " " + method);
      fake::Service service;
      service.on(method, "items", fake::Reply::redirect(status, "/api/moved"));
      service.on(method, "moved", fake::Reply::json(Json{{"id", "W1"}}));
      service.on("GET", "moved", fake::Reply::json(Json{{"id", "W1"}}));
      TempDir app;
      app.write("board-token.txt", "board-secret");
      Client client{app.path(), service.base_url()};
      const auto sent = client.send(method, "items", false, Json{{"title", "x"}});
      ASSERT_FALSE(sent);
      EXPECT_EQ(sent.error().text, "Veltrun API returned HTTP " + std::to_string(status) + " for " + method +
                                       " items. No success or empty result can be inferred.");
      EXPECT_TRUE(sent.error().outcome_unknown);
      EXPECT_EQ(service.lines(), std::vector<std::string>{std::string(method) + " items"});
    }
  }
}

// The existing redirect test changes the port; here only the host name does.
TEST(FaultRedirects, CredentialStaysOffAnotherHostName) {
  fake::Service service;
  service.on("GET", "board/projects",
             fake::Reply::redirect(302, "http://localhost:" + std::to_string(service.port()) + "/api/landed"));
  service.on("GET", "landed", fake::Reply::json(Json::array({"landed"})));
  TempDir app;
  app.write("board-token.txt", "board-secret");
  Client client{app.path(), service.base_url()};
  const auto result = client.request("GET", "board/projects", false);
  if (!result) GTEST_SKIP() << "localhost does not lead to 127.0.0.1 here: " << result.error();
  EXPECT_EQ(*result, Json::array({"landed"}));
  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("authorization"), "Bearer board-secret");
  EXPECT_EQ(requests[1].header("host"), "localhost:" + std::to_string(service.port()));
  EXPECT_FALSE(requests[1].has_header("authorization"));
}

// --- Deadlines ----------------------------------------------------------

// A deadline short enough for a test; production's 15 s is checked in
// client_test.cpp.
const ClientHooks hurried{.deadline = 300ms};
// libcurl rounds the time spent up to whole milliseconds before it compares
// it with the deadline, so it may give up to 1 ms before it.
constexpr auto deadline_rounding = 1ms;

// Bytes that keep coming do not extend the deadline: the whole exchange
// ends at the deadline, judged as an answer whose body could not be read.
TEST(FaultDeadline, BodyThatTricklesRunsIntoTheDeadline) {
  auto trickle = [](int status) {
    return [status](int connection, const std::string&) {
      send_text(connection, "HTTP/1.1 " + std::to_string(status) +
                                " Status\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n[");
      // A byte every 20 ms until the client hangs up.
      const auto give_up = Clock::now() + 10s;
      pollfd hang_up = {connection, POLLIN, 0};
      while (Clock::now() < give_up && ::poll(&hang_up, 1, 20) == 0) {
        if (::send(connection, "1,", 2, MSG_NOSIGNAL) != 2) return;
      }
    };
  };
  fake::RawService read_service(trickle(200));
  fake::RawService write_service(trickle(201));
  TempDir app;
  app.write("board-token.txt", "board-secret");

  // The read and the write wait side by side.
  Result<Json> read = std::unexpected("not run");
  Clock::duration read_took{};
  std::thread reader([&] {
    Client client{app.path(), read_service.base_url(), hurried};
    const auto begin = Clock::now();
    read = client.request("GET", "board/projects", false);
    read_took = Clock::now() - begin;
  });
  Client client{app.path(), write_service.base_url(), hurried};
  const auto begin = Clock::now();
  const ToolOutcome written = create::work_item(client, "P1", "B1", Json{{"title", "Add retries"}});
  const auto write_took = Clock::now() - begin;
  reader.join();

  EXPECT_EQ(text_of(read), std::string("error ") + invalid_json);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), std::string(invalid_json) + " " + creation_unknown_outcome);
  for (const auto took : {read_took, write_took}) EXPECT_GE(took, hurried.deadline - deadline_rounding);
  EXPECT_EQ(read_service.requests(), 1);
  EXPECT_EQ(write_service.requests(), 1);
}

// The overall deadline, not the 30 s connect time-out, ends the wait; the
// consent given in the same call stays, nothing else changes.
TEST(FaultDeadline, ServiceThatNeverAcceptsRunsIntoTheDeadline) {
  fake::NeverAccepting service;
  TempDir app;
  app.write("board-token.txt", "board-secret");
  Client client{app.path(), service.base_url(), hurried};
  Session session;
  Session expected = session;
  expected.opted_in = true;

  const auto begin = Clock::now();
  const auto outcome = session_context(session, client, Json{{"action", "enable"}});
  const auto took = Clock::now() - begin;
  EXPECT_EQ(text_of(outcome), "error " + unreachable("GET", "board/projects"));
  EXPECT_GE(took, hurried.deadline - deadline_rounding);
  EXPECT_EQ(snapshot(session), snapshot(expected));
}

// --- Size ----------------------------------------------------------------

// One page of 20 MB is read whole and passed on, not refused.
TEST(FaultSize, TwentyMegabytePageOfWorkItems) {
  Json items = Json::array();
  for (int i = 0; i < 100; ++i) {
    std::string description;
    while (description.size() < 200'000) description += "Line \"" + std::to_string(i) + "\" \u0103\u2014\t/\\\n";
    items.push_back(Json{{"id", "W" + std::to_string(i)},
                         {"boardId", "B1"},
                         {"phase", "inbox"},
                         {"description", description},
                         {"comments", Json::array()}});
  }
  const Json page = {{"items", items}, {"nextCursor", nullptr}};
  const std::string body = json_text::compact(page);
  ASSERT_GE(body.size(), 20'000'000u);
  fake::Service service;
  service.on("GET", "board/projects/P1/work-items?limit=100&include=comments&boardId=B1",
             fake::Reply::raw(200, body, "application/json"));
  TempDir app;
  app.write("board-token.txt", "board-secret");
  Client client{app.path(), service.base_url()};

  const auto listed = client.items_including("P1", "B1", "comments");
  ASSERT_TRUE(listed) << listed.error();
  EXPECT_EQ(Json(*listed), items);

  const ToolOutcome tool = reading::list_work_items(client, "P1", "B1", Json::object());
  ASSERT_TRUE(tool) << tool.error();
  EXPECT_EQ(json_text::parse(*tool), std::optional<Json>(items));
  EXPECT_EQ(service.requests().size(), 2u);
}

// --- Browser launcher ----------------------------------------------------

#ifdef __APPLE__
constexpr const char* launcher = "open";
#else
constexpr const char* launcher = "xdg-open";
#endif

// A folder that stands alone on PATH and may hold a launcher script.
class LauncherFolder {
 public:
  void install(const std::string& body) const {
    bin.write(launcher, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(bin.path() / launcher, std::filesystem::perms::owner_all);
  }

  TempDir bin;
  ScopedEnv path{"PATH", bin.path().c_str()};
};

struct LauncherCase {
  const char* name;
  std::optional<std::string> script;  // nothing: no launcher at all
  bool opened;
};

// The sign-in starts whatever the launcher does.
TEST(FaultBrowser, StartSucceedsWhateverTheLauncherDoes) {
  const std::vector<LauncherCase> cases = {
      {"missing", std::nullopt, false},
      {"fails", "exit 1", false},
      {"its browser missing", "exec /nonexistent/browser \"$1\"", false},
      {"successful", "exit 0", true},
  };
  for (const LauncherCase& row : cases) {
    SCOPED_TRACE(row.name);
    LauncherFolder folder;
    if (row.script) folder.install(*row.script);
    fake::Service service;
    service.on("POST", "device/authorize", fake::Reply::raw(200, authorization(), "application/json"));
    TempDir app;
    Client client{app.path(), service.base_url()};
    const auto started = client.login("start");
    ASSERT_TRUE(started) << started.error();
    EXPECT_EQ((*started)["browser_opened"], row.opened);
    EXPECT_EQ((*started)["verification_uri_complete"], sign_in_url);
    EXPECT_TRUE(client.auth().pending.has_value());
  }
}

// The start waits for a launcher that takes its time: the launcher ends only
// once the test writes to a FIFO, and the start must not have answered by
// the time the launcher is found waiting there.
TEST(FaultBrowser, StartWaitsForASlowLauncher) {
  LauncherFolder folder;
  TempDir gate;
  const std::string fifo = (gate.path() / "go").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), S_IRUSR | S_IWUSR), 0) << std::strerror(errno);
  folder.install("read line < '" + fifo + "'\nexit 0");
  fake::Service service;
  service.on("POST", "device/authorize", fake::Reply::raw(200, authorization(), "application/json"));
  TempDir app;
  Client client{app.path(), service.base_url()};

  std::atomic<bool> answered = false;
  std::atomic<bool> launcher_waited_unanswered = false;
  std::thread releaser([&] {
    // Opening for writing waits for the launcher to open the FIFO for reading.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (writer < 0) return;
    launcher_waited_unanswered = !answered;
    [[maybe_unused]] const ssize_t written = ::write(writer, "go\n", 3);
    ::close(writer);
  });
  const auto started = client.login("start");
  answered = true;
  // A start that answered without the launcher would leave the releaser
  // waiting for a reader: this one lets it go.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  releaser.join();
  if (reader >= 0) ::close(reader);

  ASSERT_TRUE(started) << started.error();
  EXPECT_TRUE(launcher_waited_unanswered);
  EXPECT_EQ((*started)["browser_opened"], true);
}

// The process state letter of /proc/PID/stat ('Z' for ended but unreaped),
// or nothing once the process is gone.
std::optional<char> process_state(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  if (!std::getline(stat, text) || text.rfind(") ") == std::string::npos) return std::nullopt;
  return text[text.rfind(") ") + 2];
}

// Blocks until the child pid has ended, leaving it to be reaped; false when
// it is no child of this process.
bool ended_unreaped(pid_t pid) {
  siginfo_t info{};
  int waited = 0;
  do {
    waited = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (waited < 0 && errno == EINTR);
  return waited == 0;
}

// A child of the test itself, started without waiting for it; 0 when it
// could not be started.
pid_t spawned(const char* program) {
  char* argv[] = {const_cast<char*>(program), nullptr};
  char* no_environment[] = {nullptr};
  pid_t pid = 0;
  return ::posix_spawn(&pid, program, nullptr, nullptr, argv, no_environment) == 0 ? pid : 0;
}

// A launcher that does not end (xdg-open running a browser in the
// foreground) is left to run: the start answers without it, and once it has
// ended it is reaped by its pid before the next request is read, not only at
// the next sign-in; no other child is.
TEST(FaultBrowser, HangingLauncherIsNotWaitedForForever) {
  LauncherFolder folder;
  TempDir gate;
  const std::string go = (gate.path() / "go").string();
  const std::string pid_file = (gate.path() / "pid").string();
  // Ends only when the test lets it.
  folder.install("echo $$ > '" + pid_file + "'\nwhile [ ! -e '" + go + "' ]; do sleep 0.02; done");
  fake::Service service;
  service.on("POST", "device/authorize", fake::Reply::raw(200, authorization(), "application/json"));
  TempDir app;
  Client client{app.path(), service.base_url(), ClientHooks{.launcher_patience = 200ms}};

  const auto started = client.login("start");
  ASSERT_TRUE(started) << started.error();
  EXPECT_EQ((*started)["browser_opened"], false);
  EXPECT_TRUE(client.auth().pending.has_value());

  std::string pid;
  std::ifstream(pid_file) >> pid;
  ASSERT_FALSE(pid.empty());
  std::ofstream(go).put('\n');
  ASSERT_TRUE(ended_unreaped(std::stoi(pid)));
  ASSERT_EQ(process_state(pid), 'Z');
  // A child of whoever runs the server is not the sign-in's to reap.
  const pid_t own = spawned("/bin/true");
  ASSERT_GT(own, 0);
  ASSERT_TRUE(ended_unreaped(own));

  Session session;
  std::istringstream input(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                           "\n");
  std::vector<std::string> replies;
  const auto served = server::serve(
      input,
      [&](std::string_view line) -> std::expected<void, std::string> {
        replies.emplace_back(line);
        return {};
      },
      session, client);
  ASSERT_TRUE(served);
  EXPECT_EQ(replies, std::vector<std::string>{R"({"id":1,"jsonrpc":"2.0","result":{}})"});
  EXPECT_EQ(process_state(pid), std::nullopt);
  EXPECT_EQ(process_state(std::to_string(own)), 'Z');
  int status = 0;
  EXPECT_EQ(::waitpid(own, &status, 0), own);
}

// --- Local files ---------------------------------------------------------

struct FileShape {
  const char* name;
  std::function<void(const std::filesystem::path&)> make;
};

// Whatever stands where a credential or the registry should be, and cannot
// be read as a text file, counts as missing, at once.
std::vector<FileShape> unreadable_shapes() {
  return {
      {"a directory", [](const std::filesystem::path& path) { std::filesystem::create_directory(path); }},
      {"a named pipe without writer", [](const std::filesystem::path& path) { ::mkfifo(path.c_str(), 0600); }},
      {"a link to an endless device",
       [](const std::filesystem::path& path) { std::filesystem::create_symlink("/dev/zero", path); }},
      {"a dangling link",
       [](const std::filesystem::path& path) { std::filesystem::create_symlink(path.string() + ".gone", path); }},
      {"a file one byte past its bound",
       [](const std::filesystem::path& path) {
         const bool registry = path.filename() == "projects.json";
         const std::size_t bound = registry ? context::max_registry_bytes : Client::max_credential_file_bytes;
         // What would read as a credential or an empty registry within the bound.
         const std::string text = registry ? "[]" : "board-secret";
         std::ofstream(path, std::ios::binary) << text << std::string(bound + 1 - text.size(), ' ');
       }},
  };
}

void expect_counts_as_missing(const FileShape& shape) {
  SCOPED_TRACE(shape.name);
  fake::Service service;
  const Json sent = Json::array({Json{{"id", "P1"}, {"repoPath", "/service"}}});
  service.on("GET", "board/projects", fake::Reply::json(sent));
  TempDir app;
  Client client{app.path(), service.base_url()};

  // Credentials: no request goes out, and the session asks for a sign-in.
  shape.make(app.path() / "board-token.txt");
  shape.make(app.path() / "docs-token.txt");
  EXPECT_EQ(text_of(client.token(true)), std::string("error ") + token_unavailable);
  EXPECT_EQ(text_of(client.request("GET", "board/projects", false)), std::string("error ") + token_unavailable);
  Session session;
  const auto status = session_context(session, client, Json{{"action", "enable"}});
  ASSERT_TRUE(status) << status.error();
  EXPECT_EQ((*status)["status"], "needs_auth");
  EXPECT_TRUE(session.opted_in);
  EXPECT_TRUE(service.requests().empty());

  // The registry: the service's projects pass unchanged.
  shape.make(app.path() / "projects.json");
  EXPECT_EQ(context::projects(app.path()).error(),
            "Project registry unavailable. Open Veltrun Team and sync projects.");
  std::filesystem::remove(app.path() / "board-token.txt");
  app.write("board-token.txt", "board-secret");
  EXPECT_EQ(text_of(client.projects()), "value " + json_text::compact(sent));
}

TEST(FaultFiles, UnreadableShapesCountAsMissing) {
  for (const FileShape& shape : unreadable_shapes()) expect_counts_as_missing(shape);
}

TEST(FaultFiles, FilesWithoutReadPermissionCountAsMissing) {
  const FileShape locked = {"no read permission", [](const std::filesystem::path& path) {
                              std::ofstream(path) << "[]";
                              std::filesystem::permissions(path, std::filesystem::perms::none);
                            }};
  TempDir probe;
  locked.make(probe.path() / "probe");
  if (::access((probe.path() / "probe").c_str(), R_OK) == 0) {
    GTEST_SKIP() << "this user reads files without read permission (root); the other shapes cover the rest";
  }
  expect_counts_as_missing(locked);
}

// --- HOME ----------------------------------------------------------------

// The working directory for one scope.
class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const std::filesystem::path& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedWorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

struct HomeCase {
  const char* name;
  std::optional<std::string> home;  // nothing: unset
};

// Without an absolute HOME there is no app folder: the one below the working
// directory, the agent's workspace, holds a planted credential that is never
// read. It holds a line break too, so that it could never travel in a
// header: were it read, the request would fail before any connection.
TEST(FaultHome, UnusableHomeMeansNoAppFolder) {
  TempDir work;
  std::filesystem::create_directories(work.path() / "Library/Application Support/VeltrunTeam");
  work.write("Library/Application Support/VeltrunTeam/board-token.txt", "one\ntwo");
  TempDir empty_home;
  const std::vector<HomeCase> cases = {
      {"unset", std::nullopt},
      {"empty", ""},
      {"not UTF-8", "/tmp/\xff\xfe"},
      {"relative", "."},
      {"a folder without credentials", empty_home.path().string()},
  };
  ScopedWorkingDirectory here(work.path());
  for (const HomeCase& row : cases) {
    SCOPED_TRACE(row.name);
    process::Environment environment;
    if (row.home) environment["HOME"] = *row.home;
    const process::Exit exit = process::run(
        VELTRUN_MCP_BINARY,
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"veltrun_session","arguments":{"action":"enable"}}})"
        "\n",
        environment);
    EXPECT_EQ(exit.status, 0);
    EXPECT_EQ(exit.err, "");
    const auto reply = json_text::parse(exit.out);
    ASSERT_TRUE(reply) << exit.out;
    const Json& result = (*reply)["result"];
    EXPECT_EQ(result["isError"], false);
    EXPECT_EQ(json_text::parse(result["content"][0]["text"].get<std::string>()).value_or(Json())["status"],
              "needs_auth");
  }
}

}  // namespace
