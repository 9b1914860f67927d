// What every write says about its outcome, for every kind of answer: a
// success, a refusal, an unknown outcome that forbids a retry, or a request
// that never left the machine and may be tried again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client.hpp"
#include "create.hpp"
#include "edit.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"
#include "tracking.hpp"
#include "work_items.hpp"

namespace {

using Lines = std::vector<std::string>;

constexpr const char* base_url = "https://veltrun.test/api";
// The payload is {"sub":"user-1"}: the automatic assignment has a subject.
constexpr const char* board_jwt = "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ1c2VyLTEifQ.signature";

const std::string item_path = "board/projects/P1/work-items/W1";
const std::string page_path = "docs/projects/P1/pages/PG1";
const Json held_item = {{"id", "W1"}, {"key", "DB-7"}, {"boardId", "B1"}, {"assigneeUserId", "user-2"}};
const Json unheld_item = {{"id", "W1"}, {"key", "DB-7"}, {"boardId", "B1"}, {"title", "Retry flow"}};

std::string outcome_text(const ToolOutcome& outcome) {
  return outcome ? "value: " + *outcome : "error: " + outcome.error();
}

struct Write {
  const char* name;
  Lines lines;                               // "METHOD path" of every request, the write under test last
  std::map<std::string, std::string> prior;  // the successful answer to each earlier request
  std::string confirmed;                     // a body that confirms the write
  std::function<ToolOutcome(const Client&)> run;
  std::string success;
  // The tool's text for the client's error text and whether the outcome is unknown.
  std::function<std::string(const std::string& error, bool unknown)> failed;
};

// A work-item tool's error, with its sentence when the outcome is unknown.
auto error_unless_known(std::string sentence) {
  return [sentence = std::move(sentence)](const std::string& error, bool unknown) {
    return "error: " + error + (unknown ? " " + sentence : "");
  };
}

// Creation and edit add their sentence to every failure of the write.
auto error_with(std::string sentence) {
  return
      [sentence = std::move(sentence)](const std::string& error, bool) { return "error: " + error + " " + sentence; };
}

std::vector<Write> writes() {
  return {
      {"post_comment",
       {"POST " + item_path + "/comments"},
       {},
       "{}",
       [](const Client& client) {
         return work_items::post_comment(client, {held_item, item_path}, Json{{"body", "Fixed."}});
       },
       "value: Comment posted on DB-7.",
       error_unless_known("Comment is not confirmed. Do not retry automatically: read the work item's comments with "
                          "get_work_item first.")},
      {"post_review",
       {"POST " + item_path + "/review-findings/verdict"},
       {},
       "{}",
       [](const Client& client) {
         return work_items::post_review(client, {held_item, item_path},
                                        Json{{"verdict", "approve"}, {"summary", "ok"}});
       },
       "value: Review approve posted on DB-7.",
       error_unless_known("Review is not confirmed. Do not retry automatically: read the work item's history and "
                          "review findings with get_work_item first.")},
      {"resolve_finding",
       {"PATCH " + item_path + "/review-findings/F1"},
       {},
       "{}",
       [](const Client& client) {
         return work_items::resolve_finding(client, {held_item, item_path},
                                            Json{{"finding_id", "F1"}, {"status", "fixed"}});
       },
       "value: Finding F1 on DB-7 marked fixed.",
       error_unless_known("Finding update is not confirmed. Do not retry automatically: read the work item's review "
                          "findings with get_work_item first.")},
      // A held item: no automatic assignment follows.
      {"update_phase",
       {"PATCH " + item_path + "/phase"},
       {},
       "{}",
       [](const Client& client) {
         return work_items::update_phase(client, {held_item, item_path}, Json{{"phase", "review"}});
       },
       "value: DB-7 moved to review.",
       error_unless_known("Phase change is not confirmed. Do not retry automatically: read the work item's phase "
                          "with get_work_item first.")},
      // The phase has changed: the tool succeeds whatever the assignment's answer.
      {"update_phase's automatic assignment",
       {"PATCH " + item_path + "/phase", "PATCH " + item_path + "/assignment"},
       {{"PATCH " + item_path + "/phase", "{}"}},
       "{}",
       [](const Client& client) {
         return work_items::update_phase(client, {unheld_item, item_path}, Json{{"phase", "review"}});
       },
       "value: DB-7 moved to review. Auto-assigned to you.",
       [](const std::string& error, bool unknown) {
         if (!unknown) return "value: DB-7 moved to review. Phase changed, but assignment failed: " + error;
         return "value: DB-7 moved to review. Phase changed, but the automatic assignment could not be confirmed: " +
                error + " Assignment outcome unverified. Read before retrying.";
       }},
      {"assign_work_item",
       {"PATCH " + item_path + "/assignment"},
       {},
       R"({"workItem":{"id":"W1","boardId":"B1","projectId":"P1"}})",
       [](const Client& client) {
         return tracking::assign(client, "P1", "B1", held_item, Json{{"assignee_user_id", nullptr}});
       },
       R"(value: {"assigneeUserId":null,"changed":true,"reference":"DB-7"})",
       error_unless_known("Assignment outcome unverified. Read before retrying.")},
      {"create_work_item",
       {"POST board/projects/P1/work-items"},
       {},
       R"({"workItem":{"id":"W9","key":"DB-9","title":"Add retries","boardId":"B1","projectId":"P1"}})",
       [](const Client& client) {
         return create::work_item(client, "P1", "B1", Json{{"title", "Add retries"}});
       },
       "value: {\n"
       "  \"created\": {\n"
       "    \"boardId\": \"B1\",\n"
       "    \"id\": \"W9\",\n"
       "    \"key\": \"DB-9\",\n"
       "    \"projectId\": \"P1\",\n"
       "    \"title\": \"Add retries\"\n"
       "  }\n"
       "}",
       error_with("Creation is not confirmed. Do not retry automatically: check the destination for an existing "
                  "result first.")},
      {"update_doc_page",
       {"GET " + page_path, "PATCH " + page_path},
       {{"GET " + page_path, R"({"page":{"id":"PG1","projectId":"P1","version":3,"title":"Design"}})"}},
       R"({"page":{"id":"PG1","projectId":"P1","version":4,"title":"New"}})",
       [](const Client& client) {
         return edit::doc_page(client, "P1", Json{{"page_id", "PG1"}, {"expected_version", 3}, {"title", "New"}});
       },
       "value: {\n"
       "  \"updated\": {\n"
       "    \"id\": \"PG1\",\n"
       "    \"projectId\": \"P1\",\n"
       "    \"title\": \"New\",\n"
       "    \"version\": 4\n"
       "  }\n"
       "}",
       error_with("Edit is not confirmed. Do not retry automatically. Read the page and reconcile its current "
                  "content/version first.")},
  };
}

struct Answer {
  const char* name;
  std::function<HttpAnswer(const std::string& confirmed)> reply;
  // The client's error text for the write's "METHOD path", "" for a success.
  std::function<std::string(const std::string& line)> error;
  bool unknown = false;
};

std::function<HttpAnswer(const std::string&)> status(long code, std::string body, bool read = true) {
  return [=](const std::string&) { return HttpReply{.status = code, .body = body, .body_read = read}; };
}

std::function<std::string(const std::string&)> without_message(long code) {
  return [=](const std::string& line) {
    return "Veltrun API returned HTTP " + std::to_string(code) + " for " + line +
           ". No success or empty result can be inferred.";
  };
}

std::function<std::string(const std::string&)> fixed(std::string text) {
  return [text = std::move(text)](const std::string&) { return text; };
}

std::function<std::string(const std::string&)> unreachable() {
  return [](const std::string& line) { return "Veltrun API could not be reached for " + line + "."; };
}

std::vector<Answer> answers() {
  const std::string invalid_json = "Veltrun API returned invalid JSON.";
  return {
      {"2xx", [](const std::string& confirmed) { return HttpReply{.status = 201, .body = confirmed}; }, fixed("")},
      {"2xx not JSON", status(200, "<html>ok</html>"), fixed(invalid_json), true},
      {"2xx cut short", status(200, "{", false), fixed(invalid_json), true},
      {"3xx", status(302, ""), without_message(302), true},
      {"4xx", status(409, R"({"message":"Locked"})"),
       [](const std::string& line) { return "Veltrun API returned HTTP 409 for " + line + ": Locked"; }},
      {"4xx without message", status(422, ""), without_message(422)},
      {"401", status(401, ""),
       fixed("AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again.")},
      {"500 with message", status(500, R"({"message":"boom"})"),
       [](const std::string& line) { return "Veltrun API returned HTTP 500 for " + line + ": boom"; }, true},
      {"502", status(502, "<html>Bad gateway</html>"), without_message(502), true},
      {"503", status(503, ""), without_message(503), true},
      {"504", status(504, "<html>Gateway timeout</html>"), without_message(504), true},
      {"no answer, maybe sent", [](const std::string&) { return std::unexpected(Unanswered::maybe_sent); },
       unreachable(), true},
      {"never sent", [](const std::string&) { return std::unexpected(Unanswered::never_sent); }, unreachable()},
  };
}

// A client whose transport answers the write under test with one answer and
// every earlier request with its success, and records each attempt.
struct Seam {
  Seam(const Write& write, HttpAnswer answer) : write(write), answer(std::move(answer)) {
    app.write("board-token.txt", board_jwt);
    app.write("docs-token.txt", "docs-secret");
  }

  const Write& write;
  HttpAnswer answer;
  Lines attempts;
  TempDir app;
  Client client{app.path(), base_url, ClientHooks{.transport = [this](const HttpExchange& request) -> HttpAnswer {
                  const std::string line = request.method + " " + request.url.substr(std::string(base_url).size() + 1);
                  attempts.push_back(line);
                  if (line == write.lines.back()) return answer;
                  const auto prior = write.prior.find(line);
                  if (prior == write.prior.end()) return HttpReply{.status = 404, .body = ""};
                  return HttpReply{.status = 200, .body = prior->second};
                }}};
};

// Each write is tried once and never repeated, whatever the answer; nothing
// is read to explain a failure the service did not give (a refused phase
// change reads findings only on the way to done).
TEST(WriteOutcomes, EveryWriteSaysWhatItsAnswerTells) {
  for (const Write& write : writes()) {
    for (const Answer& answer : answers()) {
      SCOPED_TRACE(std::string(write.name) + ", " + answer.name);
      Seam seam(write, answer.reply(write.confirmed));
      const std::string error = answer.error(write.lines.back());
      const std::string expected = error.empty() ? write.success : write.failed(error, answer.unknown);
      EXPECT_EQ(outcome_text(write.run(seam.client)), expected);
      EXPECT_EQ(seam.attempts, write.lines);
    }
  }
}

// A credential that would split its header line stops the write before the
// transport: it never left, and only creation keeps its sentence.
TEST(WriteOutcomes, WriteRefusedByTheHeaderCheckNeverReachesTheTransport) {
  for (const Write& write : writes()) {
    if (write.lines.size() != 1) continue;  // an earlier request would be refused first
    SCOPED_TRACE(write.name);
    Seam seam(write, HttpReply{.status = 201, .body = write.confirmed});
    seam.app.write("board-token.txt", std::string(board_jwt) + "\x01");
    EXPECT_EQ(outcome_text(write.run(seam.client)), write.failed(unreachable()(write.lines.back()), false));
    EXPECT_TRUE(seam.attempts.empty());
  }
}

// Over a socket, whatever libcurl makes of the exchange: a write of which no
// byte was written never left and may be tried again; once the service has
// read it, it may have been carried out, even when its answer is a head that
// libcurl refuses.
TEST(WriteOutcomes, OverLibcurlAWriteIsInDoubtOnceAByteOfItLeft) {
  const fake::Listener closed = fake::listen_on_loopback(1);
  ::close(closed.socket);
  const fake::NeverAccepting full_queue;
  struct Case {
    const char* name;
    std::optional<std::string> answer;  // what a service sends once it has read the whole write
    std::string base_url;               // without such a service
    bool unknown;
    std::chrono::milliseconds deadline = client_http::deadline;
  };
  const Case cases[] = {
      {"status 199 with a body", "HTTP/1.1 199 Odd\r\nContent-Length: 2\r\n\r\n{}", "", true},
      {"a body without a status line", R"({"id":"C1"})", "", true},
      {"status 99", "HTTP/1.1 99 Odd\r\nContent-Length: 2\r\n\r\n{}", "", true},
      {"HTTP/3.0 201", "HTTP/3.0 201 Created\r\nContent-Length: 2\r\n\r\n{}", "", true},
      {"read, then closed without an answer", "", "", true},
      {"connection refused", std::nullopt, "http://127.0.0.1:" + std::to_string(closed.port) + "/api", false},
      // libcurl reports a time-out, as it does for one after the write left.
      {"connect timed out in a full accept queue", std::nullopt, full_queue.base_url(), false,
       std::chrono::milliseconds(300)},
      {"scheme refused", std::nullopt, "notascheme://127.0.0.1/api", false},
  };
  TempDir app;
  app.write("board-token.txt", "board-secret");
  for (const Case& c : cases) {
    for (const std::string method : {"POST", "PATCH"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + method);
      std::optional<fake::RawService> service;
      if (c.answer) service.emplace(*c.answer);
      const Client client{app.path(), service ? service->base_url() : c.base_url, ClientHooks{.deadline = c.deadline}};

      testing::internal::CaptureStderr();
      const auto sent = client.send(method, "items", false, Json{{"title", "x"}});
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "libcurl's own text reached stderr";

      ASSERT_FALSE(sent);
      EXPECT_EQ(sent.error().text, "Veltrun API could not be reached for " + method + " items.");
      EXPECT_EQ(sent.error().outcome_unknown, c.unknown);
      if (service) {
        EXPECT_EQ(service->requests(), 1) << "the service read the whole write";
      }
    }
  }
}

}  // namespace
