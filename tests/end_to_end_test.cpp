#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fake_service.hpp"
#include "process.hpp"
#include "server.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;

// Header and signature are never read; the payload is {"sub":"user-1"}.
constexpr const char* board_jwt = "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ1c2VyLTEifQ.signature";

// One conversation through the stdin loop: handshake, consent with a project
// choice, and a phase change that starts work on an unassigned item.
TEST(EndToEnd, StartingWorkOnAnUnassignedItem) {
  TempDir app;
  app.write("board-token.txt", std::string(board_jwt) + "\n");
  fake::Service service;
  service.on("GET", "board/projects",
             Reply::json(Json{{"projects", Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}})}}));
  service.on("GET", "board/projects/P1/boards", Reply::json(Json::array({Json{{"id", "B1"}, {"name", "Main"}}})));
  service.on("GET", "board/projects/P1/work-items?limit=100&include=comments&boardId=B1",
             Reply::json(Json{{"items", Json::array({Json{{"id", "W1"},
                                                          {"key", "DB-7"},
                                                          {"title", "Retry flow"},
                                                          {"boardId", "B1"},
                                                          {"assigneeUserId", nullptr},
                                                          {"comments", Json::array()}}})},
                              {"nextCursor", nullptr}}));
  service.on("PATCH", "board/projects/P1/work-items/W1/phase", Reply::json(Json{{"phase", "in_progress"}}));
  service.on("PATCH", "board/projects/P1/work-items/W1/assignment", Reply::empty(204));

  std::istringstream in(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
                        "\n"
                        R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                        "\n"
                        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"veltrun_session",)"
                        R"("arguments":{"action":"enable","project_id":"P1"}}})"
                        "\r\n"
                        R"({"jsonrpc":"2.0","id":"three","method":"tools/call","params":{"name":"update_phase",)"
                        R"("arguments":{"reference":"DB-7","phase":"in_progress","reason":"Starting work"}}})"
                        "\n");
  std::vector<std::string> replies;
  const server::ReplySink sink = [&](std::string_view line) -> std::expected<void, std::string> {
    replies.emplace_back(line);
    return {};
  };
  Session session;
  Client client(app.path(), service.base_url());
  ASSERT_TRUE(server::serve(in, sink, session, client));

  ASSERT_EQ(replies.size(), 3u);
  const Json initialized = Json::parse(replies[0]);
  EXPECT_EQ(initialized["id"], 1);
  EXPECT_EQ(initialized["result"]["protocolVersion"], "2025-03-26");
  const Json enabled = Json::parse(replies[1]);
  EXPECT_EQ(enabled["result"]["isError"], false);
  EXPECT_EQ(Json::parse(enabled["result"]["content"][0]["text"].get<std::string>())["status"], "ready");

  EXPECT_EQ(replies[2],
            R"({"id":"three","jsonrpc":"2.0","result":{"content":[{"text":"Project: Alpha (P1)\nBoard: Main (B1)\n)"
            R"(Resolved by: session selection\n\nDB-7 moved to in_progress. Branch convention: implement on )"
            R"(`vlt/db-7-retry-flow` (record it on the task); use the default branch only when the operator )"
            R"(directs it. Auto-assigned to you.\n\nWorkflow guidance: Keep this task as the transition target. )"
            R"(A phase change does not create a review, update documentation or prove user acceptance; follow )"
            R"(the delivery workflow for those steps. Entering in_progress: follow the branch convention )"
            R"((vlt/<key>-<slug>) unless the operator directs default-branch work.","type":"text"}],)"
            R"("isError":false}})");

  std::vector<std::string> sent;
  for (const fake::Request& request : service.requests()) {
    sent.push_back(request.exchange());
    EXPECT_EQ(request.header("authorization"), std::string("Bearer ") + board_jwt) << request.line();
  }
  EXPECT_EQ(sent, (std::vector<std::string>{
                      "GET board/projects",
                      "GET board/projects/P1/boards",
                      "GET board/projects",
                      "GET board/projects/P1/boards",
                      "GET board/projects/P1/work-items?limit=100&include=comments&boardId=B1",
                      R"(PATCH board/projects/P1/work-items/W1/phase {"phase":"in_progress","reason":"Starting work"})",
                      R"(PATCH board/projects/P1/work-items/W1/assignment {"assigneeUserId":"user-1",)"
                      R"("reason":"Auto-assigned: working on it via veltrun-mcp."})",
                  }));
}

// The wall clock shows up in two places; everything else is fixed.
std::string without_clock(const std::string& line) {
  static const std::regex as_of(R"(\\"asOf\\":\\"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00\\")");
  static const std::regex as_of_ms(R"(\\"asOfMs\\":\d{13},)");
  return std::regex_replace(std::regex_replace(line, as_of, R"(\"asOf\":\"NOW\")"), as_of_ms, R"(\"asOfMs\":NOW,)");
}

// A day after the last event the board's history records: 2026-12-03T08:00:00.125Z.
const std::chrono::system_clock::time_point fixed_instant{std::chrono::milliseconds{1796284800125}};

std::string call(int id, const std::string& tool, const std::string& arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" + tool +
         R"(","arguments":)" + arguments + "}}\n";
}

std::string tool_reply(int id, const std::string& text, bool error = false) {
  return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" +
         json_text::compact(Json(text)) + R"(,"type":"text"}],"isError":)" + (error ? "true" : "false") + "}}";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every tool once, through the real binary, against the fake on the port
// compiled into the loopback build.
class Conversation : public ::testing::Test {
 protected:
  TempDir home;
  TempDir bin;
  fake::Service service{VELTRUN_LOOPBACK_PORT};
  std::filesystem::path app = home.path() / "Library/Application Support/VeltrunTeam";

  Conversation() {
    std::filesystem::create_directories(app);
    std::ofstream(app / "board-token.txt") << board_jwt << "\n";
    std::ofstream(app / "docs-token.txt") << "docs-credential\n";
    // A browser that opens at once.
    bin.write("xdg-open", "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(bin.path() / "xdg-open", std::filesystem::perms::owner_all);
    serve_board();
    serve_docs();
  }

  void serve_board() {
    const std::string p1 = "board/projects/P1/";
    const std::string w1 = p1 + "work-items/W1";
    const Json w1_item = {{"id", "W1"},
                          {"key", "DB-7"},
                          {"title", "Retry flow"},
                          {"phase", "inbox"},
                          {"type", "story"},
                          {"boardId", "B1"},
                          {"projectId", "P1"},
                          {"assigneeUserId", nullptr},
                          {"createdAt", "2026-12-01T09:00:00Z"}};
    const Json w2_item = {{"id", "W2"},
                          {"key", "DB-8"},
                          {"title", "Export CSV"},
                          {"phase", "done"},
                          {"type", "task"},
                          {"boardId", "B1"},
                          {"projectId", "P1"},
                          {"assigneeUserId", "user-2"},
                          {"createdAt", "2026-12-01T10:00:00.250+01:00"}};
    Json with_comments = Json::array({w1_item, w2_item});
    with_comments[0]["comments"] = Json::array({Json{{"id", "C1"}, {"body", "Repro attached."}}});
    with_comments[1]["comments"] = Json::array();
    Json with_events = Json::array({w1_item, w2_item});
    with_events[0]["events"] = Json::array();
    with_events[1]["events"] = Json::array({
        Json{{"workItemId", "W2"}, {"eventId", "E1"}, {"eventType", "work_item.created"}},
        Json{{"workItemId", "W2"},
             {"eventId", "E3"},
             {"eventType", "work_item.status_changed"},
             {"occurredAt", "2026-12-02T09:30:00Z"},
             {"payload", {{"from", "review"}, {"to", "done"}}}},
        Json{{"workItemId", "W2"},
             {"eventId", "E2"},
             {"eventType", "work_item.status_changed"},
             {"occurredAt", "2026-12-01T11:00:01.5+02:00"},
             {"payload", {{"from", "inbox"}, {"to", "review"}}}},
    });
    service.on("GET", "board/projects",
               Reply::json(Json{{"projects", Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}})}}));
    service.on("GET", p1 + "boards", Reply::json(Json::array({Json{{"id", "B1"}, {"name", "Main"}}})));
    service.on("GET", p1 + "work-items?limit=100&include=comments&boardId=B1",
               Reply::json(Json{{"items", with_comments}, {"nextCursor", nullptr}}));
    service.on("GET", p1 + "work-items?limit=100&include=events&boardId=B1",
               Reply::json(Json{{"items", with_events}, {"nextCursor", nullptr}}));
    service.on("GET", p1 + "work-items?limit=100&boardId=B1",
               Reply::json(Json{{"items", Json::array({w1_item, w2_item})}, {"nextCursor", nullptr}}));
    service.on("GET", "projects/P1/team",
               Reply::json(Json{{"projectId", "P1"},
                                {"currentUserId", "user-1"},
                                {"members", Json::array({Json{{"userId", "user-1"}, {"name", "Ana"}},
                                                         Json{{"userId", "user-2"}, {"name", "Bo"}}})}}));
    service.on("GET", w1 + "/comments", Reply::json(Json{{"comments", with_comments[0]["comments"]}}));
    service.on("GET", w1 + "/review-findings",
               Reply::json(Json{{"findings", Json::array({Json{{"id", "F1"}, {"status", "open"}}})}}));
    service.on("POST", w1 + "/comments", Reply::json(Json{{"id", "C2"}}, 201));
    service.on("POST", w1 + "/review-findings/verdict", Reply::empty(204));
    service.on("PATCH", w1 + "/review-findings/F1", Reply::json(Json{{"id", "F1"}, {"status", "fixed"}}));
    service.on("PATCH", w1 + "/phase", Reply::json(Json{{"phase", "in_progress"}}));
    service.on(
        "PATCH", w1 + "/assignment",
        Reply::json(
            Json{{"workItem", {{"id", "W1"}, {"boardId", "B1"}, {"projectId", "P1"}, {"assigneeUserId", "user-2"}}}}));
    service.on("POST", p1 + "work-items",
               Reply::json(Json{{"workItem",
                                 {{"id", "W9"},
                                  {"key", "DB-12"},
                                  {"title", "Add retries"},
                                  {"phase", "inbox"},
                                  {"boardId", "B1"},
                                  {"projectId", "P1"}}}},
                           201));
    service.on("POST", "device/authorize",
               Reply::json(Json{{"device_code", "device-secret"},
                                {"user_code", "WDJB-MJHT"},
                                {"verification_uri_complete", "https://veltrun.team/app/device?code=WDJB-MJHT"},
                                {"expires_in", 600},
                                {"interval", 5}}));
  }

  void serve_docs() {
    const Json page = {{"id", "PG1"},
                       {"projectId", "P1"},
                       {"version", 3},
                       {"status", "approved"},
                       {"kind", "design"},
                       {"title", "System Design"},
                       {"bodyMarkdown", "Queues."}};
    Json edited = page;
    edited["version"] = 4;
    edited["bodyMarkdown"] = "Queues and retries.";
    service.on("GET", "docs/projects/P1/pages",
               Reply::json(Json{
                   {"pages", Json::array({Json{{"id", "PG1"}, {"kind", "design"}, {"title", "System Design"}}})}}));
    service.on("GET", "docs/projects/P1/pages/PG1", Reply::json(Json{{"page", page}}));
    service.on("PATCH", "docs/projects/P1/pages/PG1", Reply::json(Json{{"page", edited}}));
    service.on("POST", "docs/projects/P1/pages",
               Reply::json(Json{{"page",
                                 {{"id", "PG9"},
                                  {"projectId", "P1"},
                                  {"title", "Retry notes"},
                                  {"status", "draft"},
                                  {"spaceId", "S1"},
                                  {"version", 1}}}},
                           201));
  }

  // What the service was asked, in order and with which credential; then
  // forgets it for the next run.
  void expect_requests() {
    const std::string items = "GET board/projects/P1/work-items?limit=100&include=comments&boardId=B1";
    const std::string w1 = "board/projects/P1/work-items/W1";
    const std::string page = "docs/projects/P1/pages/PG1";
    const std::vector<std::vector<std::string>> per_call = {
        {R"(POST device/authorize {"deviceLabel":"Veltrun MCP"})"},
        {items, "GET projects/P1/team", "GET docs/projects/P1/pages"},
        {"GET docs/projects/P1/pages"},
        {"GET docs/projects/P1/pages", "GET " + page},
        {items},
        {items, "GET " + w1 + "/comments", "GET " + w1 + "/review-findings"},
        {items, "POST " + w1 + R"(/comments {"body":"Retries land in #12.","source":"agent"})"},
        {items,
         "POST " + w1 +
             R"(/review-findings/verdict {"findings":["Cap it"],"summary":"Backoff","verdict":"request_changes"})"},
        {items, "PATCH " + w1 + R"(/review-findings/F1 {"status":"fixed"})"},
        {items, "PATCH " + w1 + R"(/phase {"phase":"in_progress","reason":"Starting"})",
         "PATCH " + w1 +
             R"(/assignment {"assigneeUserId":"user-1","reason":"Auto-assigned: working on it via veltrun-mcp."})"},
        {R"(POST board/projects/P1/work-items {"boardId":"B1","description":"","labels":["api"],"priority":"P2",)"
         R"("title":"Add retries","type":"task"})"},
        {R"(POST docs/projects/P1/pages {"authorType":"agent","bodyMarkdown":"Draft.","changeSummary":"Created via )"
         R"(Veltrun MCP","kind":"document","status":"draft","title":"Retry notes"})"},
        {"GET " + page, "PATCH " + page +
                            R"( {"authorType":"agent","bodyMarkdown":"Queues and retries.",)"
                            R"("changeSummary":"Updated via Veltrun MCP","expectedVersion":3})"},
        {"GET projects/P1/team"},
        {"GET board/projects/P1/work-items?limit=100&boardId=B1", "GET projects/P1/team"},
        {items, "GET projects/P1/team",
         "PATCH " + w1 + R"(/assignment {"assigneeUserId":"user-2","reason":"Bo owns it"})"},
        {"GET board/projects/P1/work-items?limit=100&include=events&boardId=B1"},
    };
    // The consent call resolves once; every later tool but sign-in passes the
    // gate, which lists projects and boards again.
    std::vector<std::string> wanted = {"GET board/projects", "GET board/projects/P1/boards"};
    for (std::size_t i = 0; i < per_call.size(); ++i) {
      if (i > 0) wanted.insert(wanted.end(), {"GET board/projects", "GET board/projects/P1/boards"});
      wanted.insert(wanted.end(), per_call[i].begin(), per_call[i].end());
    }
    std::vector<std::string> sent;
    for (const fake::Request& request : service.requests()) {
      sent.push_back(request.exchange());
      const std::string credential = request.header("authorization");
      if (request.target.starts_with("device/")) {
        EXPECT_FALSE(request.has_header("authorization")) << request.line();
      } else if (request.target.starts_with("docs/")) {
        EXPECT_EQ(credential, "Bearer docs-credential") << request.line();
      } else {
        EXPECT_EQ(credential, std::string("Bearer ") + board_jwt) << request.line();
      }
    }
    EXPECT_EQ(sent, wanted);
    service.clear_requests();
  }
};

// Every tool once, then the catalogue.
std::string conversation() {
  return R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
         "\n" +
         call(2, "project_context", "{}") + call(3, "veltrun_session", R"({"action":"enable","project_id":"P1"})") +
         call(4, "veltrun_login", R"({"action":"start"})") + call(5, "project_context", "{}") +
         call(6, "list_doc_pages", "{}") + call(7, "get_doc_page", R"({"page":"design"})") +
         call(8, "list_work_items", R"({"phase":"done"})") + call(9, "get_work_item", R"({"reference":"DB-7"})") +
         call(10, "post_comment", R"({"reference":"DB-7","body":"Retries land in #12."})") +
         call(11, "post_review",
              R"({"reference":"W1","verdict":"request_changes","summary":"Backoff","findings":["Cap it"]})") +
         call(12, "resolve_finding", R"({"reference":"DB-7","finding_id":"F1","status":"fixed"})") +
         call(13, "update_phase", R"({"reference":"DB-7","phase":"in_progress","reason":"Starting"})") +
         call(14, "create_work_item", R"({"title":" Add retries ","labels":["api"]})") +
         call(15, "create_doc_page", R"({"title":"Retry notes","body_markdown":"Draft."})") +
         call(16, "update_doc_page",
              R"({"page_id":"PG1","expected_version":3,"body_markdown":"Queues and retries."})") +
         call(17, "list_project_members", "{}") + call(18, "board_summary", "{}") +
         call(19, "assign_work_item", R"({"reference":"DB-7","assignee_user_id":"user-2","reason":"Bo owns it"})") +
         call(20, "work_item_time", R"({"reference":"DB-8"})") + R"({"jsonrpc":"2.0","id":21,"method":"tools/list"})" +
         "\n";
}

// The replies to the tool calls, ids 2 to 20, with the wall clock's two
// stamps as given.
std::vector<std::string> tool_replies(const std::string& as_of, const std::string& as_of_ms) {
  const std::string header = "Project: Alpha (P1)\nBoard: Main (B1)\nResolved by: session selection\n\n";
  const std::string summary =
      R"({"asOf":")" + as_of +
      R"(","boardId":"B1","currentUserId":"user-1","openStories":1,"openStoriesAssignedToYou":0,)"
      R"("openWorkItems":1,"openWorkItemsAssignedToYou":0})";
  const std::string comment_guidance =
      "\n\nWorkflow guidance: This records an outcome; it does not itself satisfy human acceptance or change phase. "
      "Avoid a duplicate comment. UAT/Done require the applicable human gate.";
  const std::string docs_guidance =
      "\n\nWorkflow guidance: Keep the returned page ID/version. When task comments are authorized, record a "
      "meaningful documentation outcome once; do not claim a typed task/page link or acceptance phase was created.";
  return {
      tool_reply(2,
                 R"({"board":null,"cwd":null,"instruction":"Present the returned question with its two choices using )"
                 R"(the host question UI when available (plain text fallback). Do this on the first interaction, not )"
                 R"(only after a workspace request. Wait for an explicit answer. If no, call )"
                 R"(veltrun_session(action=disable) and stop all Veltrun activity. If yes, call action=enable, then )"
                 R"(ask the project and board questions returned. Do not list projects before consent.",)"
                 R"("project":null,"projects":[],"question":{"options":[{"action":"enable","label":)"
                 "\"Conectează Veltrun\"},{\"action\":\"disable\",\"label\":\"Continuă fără Veltrun\"}],\"title\":"
                 "\"Vrei să conectezi Veltrun în această sesiune pentru taskuri și documentație?\"},"
                 R"("source":"","status":"needs_opt_in"})"),
      tool_reply(3, R"({"board":{"id":"B1","name":"Main"},"boards":[{"id":"B1","name":"Main"}],"cwd":null,)"
                    R"("instruction":"Use this session's project and board. Directory or app selection changes must )"
                    R"(not reroute this session.","project":{"id":"P1","name":"Alpha"},"projects":[],)"
                    R"("source":"session selection","status":"ready"})"),
      tool_reply(4,
                 R"({"browser_opened":true,"expires_in":600,"instruction":"The browser was opened if )"
                 R"(browser_opened is true; otherwise use the fallback link. Always show verification_uri_complete )"
                 R"(as a clickable Markdown link labeled Open Veltrun sign-in, with the user code as fallback. Poll )"
                 R"(automatically after interval seconds while the user approves in the browser; do not ask them )"
                 R"(to report completion. Stop on authenticated, denied, expired or cancellation. Never request )"
                 R"(passwords or keys in chat.","interval":5,"status":"pending","user_code":"WDJB-MJHT",)"
                 R"("verification_uri_complete":"https://veltrun.team/app/device?code=WDJB-MJHT"})"),
      tool_reply(
          5, header + "Board summary (show openStories and openStoriesAssignedToYou in the user language): " + summary +
                 "\n\nWork items by phase:\n[done]\nDB-8 Export CSV\n[inbox]\nDB-7 Retry flow\n\n"
                 "Project docs (shared across this project's boards):\nPG1 [design] System Design\n"
                 "Approved [Design], [Architecture] and [Sequence] pages constrain implementation. Read "
                 "relevant pages before work.\n"),
      tool_reply(6, header + "[\n  {\n    \"id\": \"PG1\",\n    \"kind\": \"design\",\n    \"title\": \"System "
                             "Design\"\n  }\n]"),
      tool_reply(7, header +
                        "Page ID: PG1\nVersion: 3\nStatus: approved\n\n# System Design\n\nQueues.\n\n"
                        "Workflow guidance: To edit, preserve unrelated content and use this exact page ID/version as "
                        "expected_version. An edit to a published page remains published. Reuse the existing page "
                        "instead of duplicating its specification."),
      tool_reply(8, header + "[\n  {\n    \"assigneeUserId\": \"user-2\",\n    \"boardId\": \"B1\",\n    \"comments\": "
                             "[],\n    \"createdAt\": \"2026-12-01T10:00:00.250+01:00\",\n    \"id\": \"W2\",\n    "
                             "\"key\": \"DB-8\",\n    \"phase\": \"done\",\n    \"projectId\": \"P1\",\n    \"title\": "
                             "\"Export CSV\",\n    \"type\": \"task\"\n  }\n]"),
      tool_reply(9, header +
                        "{\n  \"history\": {\n    \"comments\": [\n      {\n        \"body\": \"Repro attached.\",\n"
                        "        \"id\": \"C1\"\n      }\n    ]\n  },\n  \"item\": {\n    \"assigneeUserId\": null,\n"
                        "    \"boardId\": \"B1\",\n    \"comments\": [\n      {\n        \"body\": \"Repro "
                        "attached.\",\n        \"id\": \"C1\"\n      }\n    ],\n    \"createdAt\": "
                        "\"2026-12-01T09:00:00Z\",\n    \"id\": \"W1\",\n    \"key\": \"DB-7\",\n    \"phase\": "
                        "\"inbox\",\n    \"projectId\": \"P1\",\n    \"title\": \"Retry flow\",\n    \"type\": "
                        "\"story\"\n  },\n  \"reviewFindings\": [\n    {\n      \"id\": \"F1\",\n      \"status\": "
                        "\"open\"\n    }\n  ]\n}\n\nWorkflow guidance: Use this item's history to avoid duplicate "
                        "comments and phase regressions. Discussion/status requests do not authorize writes. For "
                        "authorized delivery, reuse this task and its existing specification; follow the Veltrun "
                        "delivery workflow."),
      tool_reply(10, header + "Comment posted on DB-7." + comment_guidance),
      tool_reply(11, header + "Review request_changes posted on DB-7." + comment_guidance),
      tool_reply(12, header +
                         "Finding F1 on DB-7 marked fixed.\n\nWorkflow guidance: Close a finding only after verifying "
                         "its fix in the repo; dismissals need the stated reason. When every finding is closed and the "
                         "re-review approves, the Done gate clears \u2014 Done itself remains a human decision."),
      tool_reply(13, header +
                         "DB-7 moved to in_progress. Branch convention: implement on `vlt/db-7-retry-flow` (record it "
                         "on the task); use the default branch only when the operator directs it. Auto-assigned to "
                         "you.\n\nWorkflow guidance: Keep this task as the transition target. A phase change does not "
                         "create a review, update documentation or prove user acceptance; follow the delivery "
                         "workflow for those steps. Entering in_progress: follow the branch convention "
                         "(vlt/<key>-<slug>) unless the operator directs default-branch work."),
      tool_reply(14, header +
                         "{\n  \"created\": {\n    \"boardId\": \"B1\",\n    \"id\": \"W9\",\n    \"key\": "
                         "\"DB-12\",\n    \"phase\": \"inbox\",\n    \"projectId\": \"P1\",\n    \"title\": \"Add "
                         "retries\"\n  }\n}\n\nWorkflow guidance: Keep the returned task ID/key; do not recreate it if "
                         "a later step fails. Create Docs only when durable specification is needed, after checking "
                         "existing pages. Starting review is separate from changing a board phase."),
      tool_reply(15, header +
                         "{\n  \"created\": {\n    \"id\": \"PG9\",\n    \"projectId\": \"P1\",\n    \"spaceId\": "
                         "\"S1\",\n    \"status\": \"draft\",\n    \"title\": \"Retry notes\",\n    \"version\": 1\n  "
                         "}\n}" +
                         docs_guidance),
      tool_reply(16, header +
                         "{\n  \"updated\": {\n    \"bodyMarkdown\": \"Queues and retries.\",\n    \"id\": \"PG1\",\n"
                         "    \"kind\": \"design\",\n    \"projectId\": \"P1\",\n    \"status\": \"approved\",\n    "
                         "\"title\": \"System Design\",\n    \"version\": 4\n  }\n}" +
                         docs_guidance),
      tool_reply(17, header + R"({"currentUserId":"user-1","members":[{"name":"Ana","userId":"user-1"},)"
                              R"({"name":"Bo","userId":"user-2"}],"projectId":"P1"})"),
      tool_reply(18, header + summary),
      tool_reply(19, header + R"({"assigneeUserId":"user-2","changed":true,"reference":"DB-7"})"),
      // Created 09:00:00.250 UTC, review from 09:00:01.500 to 09:30:00 the next day, then closed in done.
      tool_reply(20, header + R"({"asOfMs":)" + as_of_ms +
                         R"(,"currentPhase":"done","currentPhaseClockStopped":true,)"
                         R"("currentPhaseEnteredAtMs":1796203800000,"groupedBy":"canonical_phase",)"
                         R"("historyComplete":true,"kind":"calendar_time","phases":[{"phase":"done",)"
                         R"("seconds":0.0},{"phase":"inbox","seconds":1.25},{"phase":"review",)"
                         R"("seconds":88198.5}],"reference":"DB-8","warning":null})"),
  };
}

// The catalogue's tool names, in their order.
void expect_names(const std::string& reply) {
  const Json catalogue = Json::parse(reply);
  std::vector<std::string> names;
  for (const Json& tool : catalogue.at("/result/tools"_json_pointer)) names.push_back(tool.at("name"));
  EXPECT_EQ(names, (std::vector<std::string>{"veltrun_login", "veltrun_session", "project_context", "list_doc_pages",
                                             "get_doc_page", "get_work_item", "list_work_items", "post_comment",
                                             "post_review", "resolve_finding", "update_phase", "create_work_item",
                                             "create_doc_page", "update_doc_page", "list_project_members",
                                             "board_summary", "assign_work_item", "work_item_time"}));
}

TEST_F(Conversation, EveryToolOnce) {
  ASSERT_NE(service.port(), 0) << "the loopback port " << VELTRUN_LOOPBACK_PORT << " is taken";
  const process::Exit exit = process::run(VELTRUN_LOOPBACK_BINARY, conversation(),
                                          {{"HOME", home.path().string()}, {"PATH", bin.path().string()}});
  ASSERT_EQ(exit.status, 0) << exit.err;
  EXPECT_EQ(exit.err, "");
  const std::vector<std::string> printed = lines_of(exit.out);
  ASSERT_EQ(printed.size(), 21u) << exit.out;
  // The binary reads the real wall clock: its two stamps are masked.
  const std::vector<std::string> masked = tool_replies("NOW", "NOW");
  for (std::size_t i = 0; i < masked.size(); ++i) {
    EXPECT_EQ(without_clock(printed[i + 1]), masked[i]) << "binary reply " << i + 2;
  }
  expect_names(printed[20]);
  expect_requests();

  // The same conversation in process, with the wall clock fixed: every byte
  // of every reply.
  std::istringstream in(conversation());
  std::vector<std::string> replies;
  const server::ReplySink sink = [&](std::string_view line) -> std::expected<void, std::string> {
    replies.emplace_back(line);
    return {};
  };
  Session session;
  const Client client(
      app, service.base_url(),
      ClientHooks{.open_browser = [](const std::string&) { return true; }, .wall_now = [] { return fixed_instant; }});
  ASSERT_TRUE(server::serve(in, sink, session, client));
  ASSERT_EQ(replies.size(), printed.size());
  EXPECT_EQ(replies[0], printed[0]) << "initialize";
  const std::vector<std::string> stamped = tool_replies("2026-12-03T08:00:00.125+00:00", "1796284800125");
  for (std::size_t i = 0; i < stamped.size(); ++i) {
    EXPECT_EQ(replies[i + 1], stamped[i]) << "in-process reply " << i + 2;
  }
  EXPECT_EQ(replies[20], printed[20]) << "tools/list";
  expect_requests();
}

}  // namespace
