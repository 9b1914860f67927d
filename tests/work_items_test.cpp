#include "work_items.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;
using Tool = ToolOutcome (*)(const Client&, const work_items::Target&, const Json&);
using Lines = std::vector<std::string>;

// Header and signature are never read; the payload is {"sub":"user-1"}.
constexpr const char* board_jwt = "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ1c2VyLTEifQ.signature";
const std::string item_path = "board/projects/P1/work-items/W1";
const std::string assignment_body =
    R"({"assigneeUserId":"user-1","reason":"Auto-assigned: working on it via veltrun-mcp."})";
const std::string branch_tail =
    " Branch convention: implement on `vlt/db-7-retry-flow` (record it on the task); use the default branch only "
    "when the operator directs it.";

class WorkItemTools : public ::testing::Test {
 protected:
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};
  Json item = {{"id", "W1"}, {"key", "DB-7"}, {"title", "Retry flow"}, {"boardId", "B1"}, {"comments", Json::array()}};

  WorkItemTools() { app.write("board-token.txt", std::string(board_jwt) + "\n"); }

  ToolOutcome run(Tool tool, const Json& arguments) {
    return tool(client, work_items::Target{item, item_path}, arguments);
  }
  // "METHOD target body" of every request since the last call.
  Lines sent() {
    Lines out = service.exchanges();
    service.clear_requests();
    return out;
  }
  static std::string text(const ToolOutcome& outcome) { return outcome ? *outcome : "error: " + outcome.error(); }
};

TEST_F(WorkItemTools, WritesSendTheirBodiesAndReportTheItem) {
  struct Case {
    Tool tool;
    Json arguments;
    std::string request;
    std::string result;
  };
  const std::string comments = "POST " + item_path + "/comments ";
  const std::string verdict = "POST " + item_path + "/review-findings/verdict ";
  const std::string finding = "PATCH " + item_path + "/review-findings/F-1 ";
  const std::vector<Case> cases = {
      {work_items::post_comment,
       {{"body", "  Done here.\n"}},
       comments + R"({"body":"  Done here.\n","source":"agent"})",
       "Comment posted on DB-7."},
      {work_items::post_review,
       {{"verdict", "approve"}, {"summary", " Looks good "}},
       verdict + R"({"findings":[],"summary":" Looks good ","verdict":"approve"})",
       "Review approve posted on DB-7."},
      {work_items::post_review,
       {{"verdict", "request_changes"}, {"summary", "Fix"}, {"findings", {"a", ""}}},
       verdict + R"({"findings":["a",""],"summary":"Fix","verdict":"request_changes"})",
       "Review request_changes posted on DB-7."},
      {work_items::resolve_finding,
       {{"finding_id", "F-1"}, {"status", "fixed"}, {"note", " \t\n"}},
       finding + R"({"status":"fixed"})",
       "Finding F-1 on DB-7 marked fixed."},
      {work_items::resolve_finding,
       {{"finding_id", "F-1"}, {"status", "resolved"}, {"note", " In 4f2c. "}},
       finding + R"({"resolutionNote":"In 4f2c.","status":"resolved"})",
       "Finding F-1 on DB-7 marked resolved."},
      // U+00A0 and U+3000 are White_Space too.
      {work_items::resolve_finding,
       {{"finding_id", "F-1"}, {"status", "dismissed"}, {"note", "\u00a0Not reachable\u3000"}},
       finding + R"({"resolutionNote":"Not reachable","status":"dismissed"})",
       "Finding F-1 on DB-7 marked dismissed."},
  };
  service.on("POST", item_path + "/comments", Reply::json(Json{{"id", "C1"}}, 201));
  service.on("POST", item_path + "/review-findings/verdict", Reply::empty(204));
  service.on("PATCH", item_path + "/review-findings/F-1", Reply::json(Json::object()));
  for (const Case& c : cases) {
    EXPECT_EQ(text(run(c.tool, c.arguments)), c.result) << c.request;
    EXPECT_EQ(sent(), Lines{c.request});
  }
  run(work_items::post_comment, {{"body", "x"}});
  EXPECT_EQ(service.requests().at(0).header("authorization"), std::string("Bearer ") + board_jwt);
}

TEST_F(WorkItemTools, ArgumentChecksComeBeforeAnyRequest) {
  struct Case {
    Tool tool;
    Json arguments;
    std::string error;
  };
  const std::string blank_body = "body must not be empty.";
  const std::string verdict = "Invalid review verdict.";
  const std::string summary = "summary must not be empty.";
  const std::string findings = "findings must be an array of strings.";
  const std::string status = "Invalid status: use fixed, resolved or dismissed.";
  const std::string note = "Dismissing a finding requires a note explaining why it does not apply.";
  const std::vector<Case> cases = {
      {work_items::post_comment, Json::object(), blank_body},
      {work_items::post_comment, {{"body", " \n\t\n "}}, blank_body},
      {work_items::post_comment, {{"body", "\u2003\u00a0"}}, blank_body},
      {work_items::post_comment, {{"body", 42}}, blank_body},
      {work_items::post_review, {{"verdict", "Approve"}, {"summary", "x"}}, verdict},
      {work_items::post_review, {{"summary", ""}}, verdict},
      {work_items::post_review, {{"verdict", "approve"}, {"summary", "\u3000"}}, summary},
      {work_items::post_review, {{"verdict", "approve"}, {"summary", "x"}, {"findings", {"a", 1}}}, findings},
      {work_items::post_review, {{"verdict", "approve"}, {"summary", "x"}, {"findings", nullptr}}, findings},
      {work_items::post_review, {{"verdict", "approve"}, {"summary", "x"}, {"findings", "a"}}, findings},
      {work_items::post_review, {{"verdict", "approve"}, {"summary", "x"}, {"findings", Json::object()}}, findings},
      {work_items::resolve_finding, {{"status", "fixed"}}, "Invalid identifier."},
      {work_items::resolve_finding, {{"finding_id", "F/1"}, {"status", "bogus"}}, "Invalid identifier."},
      {work_items::resolve_finding, {{"finding_id", "F 1"}, {"status", "fixed"}}, "Invalid identifier."},
      {work_items::resolve_finding, {{"finding_id", "F1"}, {"status", "Fixed"}}, status},
      {work_items::resolve_finding, {{"finding_id", "F1"}, {"status", "dismissed"}, {"note", " \n"}}, note},
      {work_items::resolve_finding, {{"finding_id", "F1"}, {"status", "dismissed"}}, note},
      {work_items::update_phase, {{"phase", "Done"}}, "Invalid phase."},
      {work_items::update_phase, {{"phase", " done"}}, "Invalid phase."},
      {work_items::update_phase, Json(nullptr), "Invalid phase."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(run(c.tool, c.arguments)), "error: " + c.error) << json_text::compact(c.arguments);
    EXPECT_TRUE(sent().empty()) << json_text::compact(c.arguments);
  }
}

TEST_F(WorkItemTools, FailedWritesPassTheServiceErrorOn) {
  service.on("POST", item_path + "/comments", Reply::json(Json{{"message", " Locked "}}, 423));
  service.on("POST", item_path + "/review-findings/verdict", Reply::raw(500, "<html>"));
  service.on("PATCH", item_path + "/phase", Reply::json(Json{{"message", "Not allowed"}}, 409));
  service.on("PATCH", item_path + "/review-findings/F9", Reply::json(Json{{"message", "Unknown finding"}}, 404));
  EXPECT_EQ(text(run(work_items::post_comment, {{"body", "x"}})),
            "error: Veltrun API returned HTTP 423 for POST " + item_path + "/comments:  Locked ");
  // A server error leaves the outcome unknown.
  EXPECT_EQ(text(run(work_items::post_review, {{"verdict", "approve"}, {"summary", "x"}})),
            "error: Veltrun API returned HTTP 500 for POST " + item_path +
                "/review-findings/verdict. No success or empty result can be inferred. Review is not confirmed. Do "
                "not retry automatically: read the work item's history and review findings with get_work_item "
                "first.");
  EXPECT_EQ(text(run(work_items::resolve_finding, {{"finding_id", "F9"}, {"status", "fixed"}})),
            "error: Veltrun API returned HTTP 404 for PATCH " + item_path + "/review-findings/F9: Unknown finding");
  sent();
  for (const char* phase : {"inbox", "refinement", "in_progress", "review", "uat"}) {
    EXPECT_EQ(text(run(work_items::update_phase, {{"phase", phase}})),
              "error: Veltrun API returned HTTP 409 for PATCH " + item_path + "/phase: Not allowed")
        << phase;
    EXPECT_EQ(sent().size(), 1u) << "no findings read and no assignment for " << phase;
  }
  std::filesystem::remove(app.path() / "board-token.txt");
  EXPECT_EQ(text(run(work_items::post_comment, {{"body", "x"}})),
            "error: AUTH_REQUIRED: Token unavailable. Use veltrun_login after session opt-in.");
  EXPECT_TRUE(sent().empty());
}

TEST_F(WorkItemTools, GetWorkItemReadsHistoryAndFindings) {
  service.on("GET", item_path + "/comments", Reply::json(Json::array({Json{{"body", "hi"}}})));
  service.on("GET", item_path + "/review-findings",
             Reply::json(Json{{"findings", Json::array({Json{{"id", "F1"}}})}, {"other", 1}}));
  item = Json{{"id", "W1"}, {"key", "DB-7"}};
  EXPECT_EQ(text(run(work_items::get, Json::object())),
            "{\n"
            "  \"history\": [\n"
            "    {\n"
            "      \"body\": \"hi\"\n"
            "    }\n"
            "  ],\n"
            "  \"item\": {\n"
            "    \"id\": \"W1\",\n"
            "    \"key\": \"DB-7\"\n"
            "  },\n"
            "  \"reviewFindings\": [\n"
            "    {\n"
            "      \"id\": \"F1\"\n"
            "    }\n"
            "  ]\n"
            "}");
  EXPECT_EQ(sent(), (Lines{"GET " + item_path + "/comments", "GET " + item_path + "/review-findings"}));
}

TEST_F(WorkItemTools, GetWorkItemToleratesMissingFindingsButNotMissingHistory) {
  struct Case {
    std::optional<Reply> findings;  // none: no route, the fake answers 404
    Json expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, Json::array()},
      {Reply::raw(500, "oops"), Json::array()},
      {Reply::json(Json::array({1, 2})), Json::array()},
      {Reply::json(Json{{"items", Json::array()}}), Json::array()},
      {Reply::empty(204), Json::array()},
      {Reply::json(Json{{"findings", nullptr}}), nullptr},
      {Reply::json(Json{{"findings", "none"}}), "none"},
      {Reply::json(Json{{"findings", Json{{"a", 1}}}}), Json{{"a", 1}}},
  };
  for (const Case& c : cases) {
    fake::Service fresh;
    Client local(app.path(), fresh.base_url());
    fresh.on("GET", item_path + "/comments", Reply::empty(204));
    if (c.findings) fresh.on("GET", item_path + "/review-findings", *c.findings);
    auto outcome = work_items::get(local, {item, item_path}, Json::object());
    ASSERT_TRUE(outcome) << outcome.error();
    const Json printed = Json::parse(*outcome);
    EXPECT_EQ(printed["reviewFindings"], c.expected) << c.expected;
    EXPECT_EQ(printed["history"], Json::object());
    EXPECT_EQ(printed["item"], item);
  }
  service.on("GET", item_path + "/comments", Reply::json(Json{{"message", "gone"}}, 410));
  EXPECT_EQ(text(run(work_items::get, Json::object())),
            "error: Veltrun API returned HTTP 410 for GET " + item_path + "/comments: gone");
  EXPECT_EQ(sent(), Lines{"GET " + item_path + "/comments"});
}

TEST_F(WorkItemTools, PhaseChangeWithBranchConventionAndAutomaticAssignment) {
  struct Case {
    const char* phase;
    std::optional<Json> assignee;  // none: the member is absent
    bool assigns;
  };
  const std::vector<Case> cases = {
      {"in_progress", std::nullopt, true},
      {"in_progress", nullptr, true},
      {"review", std::nullopt, true},
      {"uat", nullptr, true},
      {"review", "user-2", false},
      {"uat", "user-2", false},
      {"in_progress", "", false},
      {"in_progress", 0, false},
      {"in_progress", Json::object(), false},
      {"inbox", std::nullopt, false},
      {"refinement", nullptr, false},
      {"done", std::nullopt, false},
  };
  service.on("PATCH", item_path + "/phase", Reply::json(Json{{"phase", "x"}}));
  service.on("PATCH", item_path + "/assignment", Reply::json(Json::object()));
  for (const Case& c : cases) {
    item.erase("assigneeUserId");
    if (c.assignee) item["assigneeUserId"] = *c.assignee;
    const std::string label = std::string(c.phase) + " " + (c.assignee ? json_text::compact(*c.assignee) : "absent");
    const std::string expected = "DB-7 moved to " + std::string(c.phase) + "." +
                                 (std::string(c.phase) == "in_progress" ? branch_tail : "") +
                                 (c.assigns ? " Auto-assigned to you." : "");
    EXPECT_EQ(text(run(work_items::update_phase, {{"phase", c.phase}, {"reason", "Starting"}})), expected) << label;
    Lines expected_requests = {"PATCH " + item_path + "/phase {\"phase\":\"" + c.phase + "\",\"reason\":\"Starting\"}"};
    if (c.assigns) expected_requests.push_back("PATCH " + item_path + "/assignment " + assignment_body);
    EXPECT_EQ(sent(), expected_requests) << label;
  }
}

TEST_F(WorkItemTools, HeldItemsNeverReadTheCredentialAgain) {
  // The credential disappears as soon as the phase has changed: a held item
  // must not notice, since no assignment is attempted.
  service.on("PATCH", item_path + "/phase", [this](const fake::Request&) {
    std::filesystem::remove(app.path() / "board-token.txt");
    return Reply::json(Json::object());
  });
  item["assigneeUserId"] = "user-2";
  EXPECT_EQ(text(run(work_items::update_phase, {{"phase", "review"}})), "DB-7 moved to review.");

  // An unheld item reports the missing credential after the completed move
  // instead of calling the move a failure.
  app.write("board-token.txt", board_jwt);
  item.erase("assigneeUserId");
  EXPECT_EQ(text(run(work_items::update_phase, {{"phase", "uat"}})),
            "DB-7 moved to uat. Phase changed, but assignment failed: AUTH_REQUIRED: Token unavailable. Use "
            "veltrun_login after session opt-in.");
  EXPECT_EQ(sent(), (Lines{"PATCH " + item_path + "/phase {\"phase\":\"review\",\"reason\":\"\"}",
                           "PATCH " + item_path + "/phase {\"phase\":\"uat\",\"reason\":\"\"}"}));
}

TEST_F(WorkItemTools, AssignmentNeedsASubjectAndMayFail) {
  service.on("PATCH", item_path + "/phase", Reply::json(Json::object()));
  service.on("PATCH", item_path + "/assignment", Reply::json(Json{{"message", "Not a member"}}, 422));
  EXPECT_EQ(text(run(work_items::update_phase, {{"phase", "in_progress"}})),
            "DB-7 moved to in_progress." + branch_tail +
                " Phase changed, but assignment failed: Veltrun API "
                "returned HTTP 422 for PATCH " +
                item_path + "/assignment: Not a member");
  sent();

  struct Case {
    const char* credential;
    const char* why;
  };
  const Case cases[] = {
      {"opaque-credential", "no dots"},
      {"a.eyJzdWIiOjd9.c", "subject is a number"},
      {"a.eyJzdWIiOiIifQ.c", "subject is empty"},  // {"sub":""}
  };
  for (const Case& c : cases) {
    app.write("board-token.txt", c.credential);
    EXPECT_EQ(text(run(work_items::update_phase, {{"phase", "review"}})), "DB-7 moved to review.") << c.why;
    EXPECT_EQ(sent().size(), 1u) << c.why;
  }
}

TEST_F(WorkItemTools, RefusedDoneListsTheOpenFindings) {
  const std::string refused = "Veltrun API returned HTTP 409 for PATCH " + item_path + "/phase: Review not approved";
  service.on("PATCH", item_path + "/phase", Reply::json(Json{{"message", "Review not approved"}}, 409));
  service.on("GET", item_path + "/review-findings",
             Reply::json(Json{
                 {"findings", Json::array({
                                  Json{{"id", "F1"}, {"severity", "high"}, {"title", "Null check"}, {"status", "open"}},
                                  Json{{"id", "F2"}, {"severity", "low"}, {"status", "fixed"}},
                                  Json{{"id", "F3"}, {"severity", "low"}, {"title", "Typo"}, {"status", "open"}},
                                  Json{{"id", "F4"}, {"status", "OPEN"}},
                                  Json{{"status", "open"}, {"severity", 3}},
                              })}}));
  EXPECT_EQ(text(run(work_items::update_phase, {{"phase", "done"}, {"reason", "Shipped"}})),
            "error: " + refused +
                "\nOpen review findings blocking Done \u2014 verify each fix, then mark it with resolve_finding "
                "(fixed/resolved, or dismissed with a reason):\n"
                "- F1 [high] Null check\n"
                "- F3 [low] Typo\n"
                "-  [] ");
  EXPECT_EQ(sent(), (Lines{"PATCH " + item_path + "/phase {\"phase\":\"done\",\"reason\":\"Shipped\"}",
                           "GET " + item_path + "/review-findings"}));
}

TEST_F(WorkItemTools, RefusedDoneWithoutOpenFindingsKeepsThePatchError) {
  const std::string refused = "error: Veltrun API returned HTTP 409 for PATCH " + item_path + "/phase: No";
  const std::vector<Reply> findings = {
      Reply::json(Json{{"findings", Json::array({Json{{"id", "F2"}, {"status", "fixed"}}})}}),
      Reply::json(Json{{"findings", Json::array()}}),
      Reply::json(Json{{"findings", Json{{"id", "F1"}, {"status", "open"}}}}),
      Reply::json(Json::array({Json{{"id", "F1"}, {"status", "open"}}})),
      Reply::raw(500, "down"),
  };
  for (const Reply& reply : findings) {
    fake::Service fresh;
    Client local(app.path(), fresh.base_url());
    fresh.on("PATCH", item_path + "/phase", Reply::json(Json{{"message", "No"}}, 409));
    fresh.on("GET", item_path + "/review-findings", reply);
    auto outcome = work_items::update_phase(local, {item, item_path}, {{"phase", "done"}});
    EXPECT_EQ(text(outcome), refused) << reply.body;
    EXPECT_EQ(fresh.lines().size(), 2u);
  }
}

}  // namespace
