#include "dispatch.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "context.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"
#include "tool_table.hpp"
#include "workflow.hpp"

namespace {

using fake::Reply;
using Lines = std::vector<std::string>;

const std::string items_target = "board/projects/P1/work-items?limit=100&include=comments&boardId=B1";
const std::string item_list = "GET " + items_target;
const Lines gate = {"GET board/projects", "GET board/projects/P1/boards"};
const std::string header = "Project: Alpha (P1)\nBoard: Main (B1)\nResolved by: session selection\n";

Lines then(Lines first, const std::vector<std::string>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

class Dispatch : public ::testing::Test {
 protected:
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};
  Session session;
  Json items = Json::array({
      Json{{"id", "W1"}, {"key", "DB-7"}, {"title", "Retry flow"}, {"boardId", "B1"}, {"assigneeUserId", "u"}},
      Json{{"id", "W2"}, {"reference", "R-2"}, {"boardId", "B1"}},
      Json{{"id", "W 3"}, {"key", "DB-9"}, {"boardId", "B1"}},
      Json{{"key", "DB-10"}, {"boardId", "B1"}},
  });

  Dispatch() {
    app.write("board-token.txt", "board-credential");
    service.on("GET", "board/projects",
               Reply::json(Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}, Json{{"id", "P2"}, {"name", "Beta"}}})));
    service.on("GET", "board/projects/P1/boards", Reply::json(Json::array({Json{{"id", "B1"}, {"name", "Main"}}})));
    service.on("GET", items_target, [this](const fake::Request&) { return Reply::json(Json{{"items", items}}); });
    service.on("POST", "board/projects/P1/work-items/W1/comments", Reply::json(Json{{"id", "C1"}}));
    service.on("POST", "board/projects/P1/work-items/W2/comments", Reply::json(Json{{"id", "C2"}}));
  }

  ToolOutcome call(std::string_view name, const Json& arguments = Json::object()) {
    return call_tool(session, client, name, arguments);
  }
  void make_ready() {
    ASSERT_TRUE(call("veltrun_session", {{"action", "enable"}, {"project_id", "P1"}}));
    service.clear_requests();
  }
  Lines take_lines() {
    Lines lines = service.lines();
    service.clear_requests();
    return lines;
  }
  static std::string text(const ToolOutcome& outcome) { return outcome ? *outcome : "error: " + outcome.error(); }
};

TEST_F(Dispatch, UnknownToolsAreRefusedInAnyState) {
  for (const char* name : {"", "Get_Work_Item", "update_phase ", "no_such_tool", "VELTRUN_SESSION"}) {
    EXPECT_EQ(text(call(name)), "error: Unknown tool: " + std::string(name)) << name;
  }
  make_ready();
  EXPECT_EQ(text(call("Update_Phase", {{"reference", "DB-7"}, {"phase", "review"}})),
            "error: Unknown tool: Update_Phase");
  EXPECT_TRUE(take_lines().empty());
}

TEST_F(Dispatch, SignInToolNeedsAnEnabledSession) {
  const std::string before = text(call("veltrun_login", {{"action", "start"}}));
  EXPECT_EQ(before, json_text::compact(Session{}.status("needs_opt_in", {})));

  ASSERT_TRUE(call("veltrun_session", {{"action", "disable"}}));
  EXPECT_EQ(text(call("veltrun_login", {{"action", "start"}})), json_text::compact(session.status("disabled", {})));
  EXPECT_TRUE(take_lines().empty());

  ASSERT_TRUE(call("veltrun_session", {{"action", "enable"}}));
  take_lines();
  for (const Json& action : {Json(nullptr), Json(""), Json(7), Json("Start")}) {
    EXPECT_EQ(text(call("veltrun_login", {{"action", action}})), "error: action must be start, poll or cancel.");
  }
  EXPECT_EQ(text(call("veltrun_login", {{"action", "cancel"}})), R"({"status":"cancelled"})");
  EXPECT_TRUE(take_lines().empty());
}

TEST_F(Dispatch, SessionToolAnswersCompactObjectsOrErrors) {
  EXPECT_EQ(text(call("veltrun_session")), json_text::compact(Session{}.status("needs_opt_in", {})));
  EXPECT_EQ(text(call("veltrun_session", {{"action", "later"}})),
            "error: action must be status, enable, disable or select.");
  const std::string ready = text(call("veltrun_session", {{"action", "enable"}, {"project_id", "P1"}}));
  EXPECT_TRUE(ready.starts_with(R"({"board":{"id":"B1","name":"Main"},"boards":[{"id":"B1","name":"Main"}],)"))
      << ready;
  EXPECT_TRUE(ready.ends_with(R"("source":"session selection","status":"ready"})")) << ready;
}

TEST_F(Dispatch, GateAnswersWithTheStatusObjectUntilReady) {
  // Before consent: nothing reaches the service, and the tool's own
  // "action" cannot open the gate.
  auto outcome = call("get_work_item", {{"action", "enable"}, {"reference", "DB-7"}});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(*outcome, json_text::compact(Session{}.status("needs_opt_in", {})));
  EXPECT_FALSE(session.opted_in);
  EXPECT_TRUE(take_lines().empty());

  ASSERT_TRUE(call("veltrun_session", {{"action", "enable"}}));
  take_lines();
  outcome = call("list_work_items");
  ASSERT_TRUE(outcome);
  const Json status = Json::parse(*outcome);
  EXPECT_EQ(status["status"], "needs_project");
  EXPECT_EQ(status["projects"].size(), 2u);
  EXPECT_FALSE(outcome->starts_with("Project:"));
  EXPECT_EQ(take_lines(), Lines{"GET board/projects"});

  // A disabled session closes the gate at once, without a request.
  make_ready();
  ASSERT_TRUE(call("veltrun_session", {{"action", "disable"}}));
  EXPECT_EQ(text(call("update_phase", {{"reference", "DB-7"}, {"phase", "review"}})),
            json_text::compact(session.status("disabled", {})));
  EXPECT_TRUE(take_lines().empty());
}

TEST_F(Dispatch, TrackingToolsGetTheirOwnListings) {
  make_ready();
  const std::string no_include = "board/projects/P1/work-items?limit=100&boardId=B1";
  const std::string with_events = "board/projects/P1/work-items?limit=100&include=events&boardId=B1";
  service.on(
      "GET", no_include,
      Reply::json(Json{
          {"items",
           Json::array({Json{
               {"id", "W1"}, {"boardId", "B1"}, {"phase", "review"}, {"type", "story"}, {"assigneeUserId", "u"}}})}}));
  service.on("GET", with_events,
             Reply::json(Json{{"items", Json::array({Json{{"id", "W 3"}, {"key", "DB-9"}, {"boardId", "B1"}}})}}));
  service.on("GET", "projects/P1/team",
             Reply::json(Json{{"currentUserId", "u"}, {"members", Json::array()}, {"projectId", "P1"}}));

  // The report names no path, so an id the paths would refuse is still reported on.
  EXPECT_EQ(text(call("work_item_time", {{"reference", "DB-9"}})), "error: Invalid or missing history timestamp.");
  EXPECT_EQ(take_lines(), then(gate, {"GET " + with_events}));

  EXPECT_EQ(text(call("assign_work_item", {{"reference", "DB-9"}, {"assignee_user_id", nullptr}})),
            "error: Invalid identifier.");
  EXPECT_EQ(take_lines(), then(gate, {item_list})) << "no write for an item the paths refuse";

  const std::string summary = text(call("board_summary"));
  EXPECT_TRUE(summary.starts_with(header + "\n{\"asOf\":\"")) << summary;
  EXPECT_TRUE(summary.ends_with(R"(","boardId":"B1","currentUserId":"u","openStories":1,"openStoriesAssignedToYou":1,)"
                                R"("openWorkItems":1,"openWorkItemsAssignedToYou":1})"))
      << summary;
  EXPECT_EQ(take_lines(), then(gate, {"GET " + no_include, "GET projects/P1/team"}));

  EXPECT_EQ(text(call("list_project_members")),
            header + "\n" + R"({"currentUserId":"u","members":[],"projectId":"P1"})");
  EXPECT_EQ(take_lines(), then(gate, {"GET projects/P1/team"}));
}

TEST_F(Dispatch, GateErrorsAreToolErrors) {
  make_ready();
  service.on("GET", "board/projects/P1/boards", Reply::json(Json::array()));
  EXPECT_EQ(text(call("post_comment", {{"reference", "DB-7"}, {"body", "x"}})),
            "error: The selected board is no longer available. Select a board explicitly.");
  EXPECT_EQ(take_lines(), gate);
}

TEST_F(Dispatch, SuccessIsFramedWithHeaderAndGuidance) {
  make_ready();
  const Json arguments = {{"reference", "DB-7"}, {"body", "Started."}, {"action", "disable"}, {"project_id", "P2"}};
  EXPECT_EQ(text(call("post_comment", arguments)),
            header +
                "\nComment posted on DB-7.\n\nWorkflow guidance: This records an outcome; it does not itself "
                "satisfy human acceptance or change phase. Avoid a duplicate comment. UAT/Done require the "
                "applicable human gate.");
  EXPECT_EQ(take_lines(), then(gate, {item_list, "POST board/projects/P1/work-items/W1/comments"}));
  EXPECT_EQ(context::field(*session.project, "id"), "P1") << "the tool's arguments never reach the gate";

  service.on("GET", "board/projects/P1/work-items/W1/comments", Reply::json(Json::array()));
  service.on("GET", "board/projects/P1/work-items/W1/review-findings", Reply::json(Json{{"findings", 1}}));
  const std::string read = text(call("get_work_item", {{"reference", "W1"}}));
  EXPECT_TRUE(read.starts_with(header + "\n{\n  \"history\": [],\n  \"item\": {\n")) << read;
  EXPECT_TRUE(read.ends_with("  \"reviewFindings\": 1\n}\n\nWorkflow guidance: " + std::string(workflow::read_item)))
      << read;
}

TEST_F(Dispatch, ErrorsTravelUnframed) {
  make_ready();
  EXPECT_EQ(text(call("post_comment", {{"reference", "DB-7"}, {"body", " "}})), "error: body must not be empty.");
  EXPECT_EQ(take_lines(), then(gate, {item_list})) << "the selection runs before the argument check";
}

TEST_F(Dispatch, WorkItemSelection) {
  make_ready();
  struct Case {
    Json reference;  // null here means: no "reference" member
    std::string bound;
    std::string outcome;
  };
  auto missing_for = [](const std::string& ref) {
    return "error: Reference '" + ref + "' is missing or ambiguous in the selected scope.";
  };
  const std::vector<Case> cases = {
      {"DB-7", "", "Comment posted on DB-7."},
      {"W2", "DB-7", "Comment posted on R-2."},
      {"R-2", "", "Comment posted on R-2."},
      {5, "DB-7", "Comment posted on DB-7."},
      {nullptr, "R-2", "Comment posted on R-2."},
      {"", "DB-7", "Comment posted on DB-7."},
      {"", "", "error: A nonempty reference is required."},
      {Json::array({"DB-7"}), "", "error: A nonempty reference is required."},
      {" DB-7", "", missing_for(" DB-7")},
      {"db-7", "DB-7", missing_for("db-7")},
      {"DB-9", "", "error: Invalid identifier."},
      {"DB-10", "", "error: Invalid identifier."},
  };
  for (const Case& c : cases) {
    session.work_item = c.bound;
    Json arguments = {{"body", "Note"}};
    if (!c.reference.is_null()) arguments["reference"] = c.reference;
    const std::string outcome = text(call("post_comment", arguments));
    const std::string label = json_text::compact(c.reference) + " bound to '" + c.bound + "'";
    if (c.outcome.starts_with("error")) {
      EXPECT_EQ(outcome, c.outcome) << label;
      EXPECT_EQ(take_lines(), then(gate, {item_list})) << "no write after a failed selection: " << label;
    } else {
      EXPECT_TRUE(outcome.starts_with(header + "\n" + c.outcome + "\n\nWorkflow guidance: ")) << label;
      take_lines();
    }
  }
}

TEST_F(Dispatch, ListingFailuresEndTheTool) {
  make_ready();
  items.push_back(Json{{"id", "W9"}, {"key", "DB-99"}, {"boardId", "B2"}});
  EXPECT_EQ(text(call("update_phase", {{"reference", "DB-7"}, {"phase", "review"}})),
            "error: Board scope mismatch in API response; refusing to read or write across boards.");
  EXPECT_EQ(take_lines(), then(gate, {item_list}));
}

// The guidance framed after the tool of that exact name, "" for none.
std::string_view guidance(std::string_view name) {
  const auto row = tool_table::row(name);
  return row ? (*row)->guidance : "";
}

TEST(DispatchGuidance, ByExactToolName) {
  EXPECT_EQ(guidance("post_comment"), guidance("post_review"));
  EXPECT_EQ(guidance("create_doc_page"), guidance("update_doc_page"));
  EXPECT_NE(guidance("resolve_finding")
                .find("the Done gate clears \u2014 Done itself remains a human "
                      "decision."),
            std::string_view::npos);
  EXPECT_NE(guidance("update_phase").find("(vlt/<key>-<slug>)"), std::string_view::npos);
  for (const char* name : {"get_work_item", "get_doc_page", "create_work_item", "update_phase", "resolve_finding"}) {
    EXPECT_FALSE(guidance(name).empty()) << name;
  }
  for (const char* name : {"list_work_items", "project_context", "list_doc_pages", "board_summary",
                           "list_project_members", "assign_work_item", "work_item_time", "Update_Phase", ""}) {
    EXPECT_TRUE(guidance(name).empty()) << name;
  }
}

}  // namespace
