#include "tracking.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;
using Lines = std::vector<std::string>;

const std::string team_target = "projects/P1/team";
const std::string team_line = "GET " + team_target;
const std::string assignment_target = "board/projects/P1/work-items/W1/assignment";
const std::string not_member = "Reference 'u-stranger' is missing or ambiguous in the selected scope.";
const std::string scope_error = "Invalid project directory identity/scope.";
const std::string summary_error = "Invalid or duplicate board item in summary.";

// The summary of project P1 that the board's pages would give, all in one page.
Result<Json> summary_of(const Client& client, const Json& board, const std::vector<Json>& items,
                        const tracking::WallClock& clock) {
  tracking::BoardCount count(board);
  for (const Json& item : items) count.add(item);
  return count.summary(client, "P1", clock);
}
const std::string no_item = "Assignment response missing item; outcome unverified. Read before retrying.";
const std::string mismatch = "Assignment response mismatch; outcome unverified. Read before retrying.";
const std::string matches = "Assignment already matches; no write performed.";

// 2024-03-05T07:08:09.120Z
const auto fixed_instant = std::chrono::system_clock::time_point{std::chrono::milliseconds{1709622489120}};
const tracking::WallClock fixed_clock = [] { return fixed_instant; };

Json team(Json members = Json::array({Json{{"userId", "u-old"}, {"name", "Ana"}}, Json{{"userId", "u-new"}}})) {
  return Json{{"projectId", "P1"}, {"currentUserId", "me"}, {"members", std::move(members)}};
}

// One fake service with its own client and credential: a case per rig keeps
// replies from leaking between the rows of a table.
struct Rig {
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};

  Rig() { app.write("board-token.txt", "board-secret\n"); }

  // "METHOD target body" of every request.
  Lines sent() const { return service.exchanges(); }
};

template <typename T>
std::string text(const Result<T>& result) {
  if (!result) return "error: " + result.error();
  if constexpr (std::is_same_v<T, std::string>) {
    return *result;
  } else {
    return json_text::compact(*result);
  }
}

TEST(TrackingPhase, AcceptsOnlyTheSixWordsExactly) {
  for (const char* word : {"inbox", "refinement", "in_progress", "review", "uat", "done"}) {
    EXPECT_EQ(text(tracking::phase(word)), word);
  }
  for (const char* word : {"", "Done", "DONE", " done", "done ", "in progress", "in-progress", "closed", "uat\n"}) {
    EXPECT_EQ(text(tracking::phase(word)), "error: Unknown phase in history.") << '"' << word << '"';
  }
}

TEST(TrackingClosed, TheColumnDecidesBeforeThePhase) {
  const Json board = {{"id", "B1"},
                      {"columns",
                       {{{"id", "c-open"}, {"isTerminal", false}},
                        {{"id", "c-done"}, {"isTerminal", true}},
                        {{"id", "c-unset"}},
                        {{"id", "c-text"}, {"isTerminal", "true"}},
                        {{"id", "c-null"}, {"isTerminal", nullptr}},
                        {{"id", "c-twice"}, {"isTerminal", true}},
                        {{"id", "c-twice"}, {"isTerminal", true}},
                        {{"id", 7}, {"isTerminal", false}},
                        {{"id", "7"}, {"isTerminal", true}},
                        {{"id", 8}, {"isTerminal", true}}}}};
  struct Case {
    Json item;
    Json board;
    std::string expected;
  };
  const std::string no_columns = "error: Missing board columns; cannot classify open items.";
  const std::string no_terminal = "error: Missing column terminal state.";
  const std::string no_phase = "error: Unknown item phase; cannot classify open items.";
  const std::vector<Case> cases = {
      {{{"columnId", ""}, {"phase", "done"}}, board, "true"},
      {{{"columnId", "c-open"}, {"phase", "done"}}, board, "false"},
      {{{"columnId", "c-done"}, {"phase", "inbox"}}, board, "true"},
      {{{"columnId", "c-done"}}, board, "true"},
      {{{"columnId", "c-open"}, {"phase", "Bogus"}}, board, "false"},
      {{{"columnId", 7}, {"phase", "review"}}, board, "false"},
      {{{"columnId", nullptr}, {"phase", "done"}}, Json::object(), "true"},
      {{{"phase", "inbox"}}, Json::object(), "false"},
      {{{"phase", "refinement"}}, board, "false"},
      {{{"phase", "in_progress"}}, board, "false"},
      {{{"phase", "review"}}, board, "false"},
      {{{"phase", "uat"}}, board, "false"},
      {{{"columnId", "c-unset"}, {"phase", "done"}}, board, no_terminal},
      {{{"columnId", "c-text"}, {"phase", "done"}}, board, no_terminal},
      {{{"columnId", "c-null"}}, board, no_terminal},
      {{{"columnId", "c-twice"}}, board, "error: Reference 'c-twice' is missing or ambiguous in the selected scope."},
      {{{"columnId", "c-gone"}, {"phase", "done"}},
       board,
       "error: Reference 'c-gone' is missing or ambiguous in the selected scope."},
      {{{"columnId", "7"}}, board, "true"},  // the number 7 is no column id
      {{{"columnId", "8"}, {"phase", "done"}},
       board,
       "error: Reference '8' is missing or ambiguous in the selected scope."},
      {{{"columnId", "c-done"}},
       Json{{"columns", Json::array()}},
       "error: Reference 'c-done' is missing or ambiguous in the selected scope."},
      {{{"columnId", "c-done"}, {"phase", "done"}}, Json{{"id", "B1"}}, no_columns},
      {{{"columnId", "c-done"}, {"phase", "done"}}, Json{{"columns", Json::object()}}, no_columns},
      {{{"columnId", "c-done"}}, Json(nullptr), no_columns},
      {{{"phase", "Done"}}, board, no_phase},
      {{{"phase", "in progress"}}, board, no_phase},
      {{{"phase", ""}}, board, no_phase},
      {{{"phase", 1}}, board, no_phase},
      {{{"columnId", ""}}, board, no_phase},
      {Json::object(), board, no_phase},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(tracking::closed(c.item, c.board)), c.expected)
        << json_text::compact(c.item) << " on " << json_text::compact(c.board);
  }
}

TEST(TrackingDirectory, HandsTheCheckedAnswerOnUnchanged) {
  const Json answer = {{"projectId", "P1"},
                       {"currentUserId", "me"},
                       {"extra", {1, 2}},
                       {"members", {{{"userId", "u-1"}, {"role", "dev"}}, {{"userId", "U_2-b"}}}}};
  const Json empty = team(Json::array());
  for (const Json& reply : {answer, empty}) {
    Rig rig;
    rig.service.on("GET", team_target, Reply::json(reply));
    EXPECT_EQ(text(tracking::directory(rig.client, "P1")), json_text::compact(reply));
    EXPECT_EQ(rig.sent(), Lines{team_line});
    EXPECT_EQ(rig.service.requests().at(0).header("authorization"), "Bearer board-secret");
  }
}

TEST(TrackingDirectory, RefusesAnswersOutsideTheProjectOrWithBadMembers) {
  struct Case {
    Json answer;
    std::string error;
  };
  const Json members = Json::array({Json{{"userId", "u-1"}}});
  const auto with = [&](const std::string& key, Json value) {
    Json answer = team(members);
    if (value.is_discarded()) {
      answer.erase(key);
    } else {
      answer[key] = std::move(value);
    }
    return answer;
  };
  const Json gone(Json::value_t::discarded);
  const std::vector<Case> cases = {
      {with("projectId", "P2"), scope_error},
      {with("projectId", "p1"), scope_error},
      {with("projectId", gone), scope_error},
      {with("projectId", 1), scope_error},
      {with("currentUserId", ""), scope_error},
      {with("currentUserId", gone), scope_error},
      {with("currentUserId", 7), scope_error},
      {Json::array({team(members)}), scope_error},
      {with("members", gone), "Missing project members."},
      {with("members", Json::object()), "Missing project members."},
      {with("members", nullptr), "Missing project members."},
      {team({{{"name", "no id"}}}), "Invalid identifier."},
      {team({{{"userId", ""}}}), "Invalid identifier."},
      {team({{{"userId", "u 1"}}}), "Invalid identifier."},
      {team({{{"userId", "u/1"}}}), "Invalid identifier."},
      {team({{{"userId", 5}}}), "Invalid identifier."},
      {team({"u-1"}), "Invalid identifier."},
      {team({{{"userId", "u-1"}}, {{"userId", "u-2"}}, {{"userId", "u-1"}}}), "Duplicate directory member."},
      // The first failing member decides.
      {team({{{"userId", "u-1"}}, {{"userId", "bad id"}}, {{"userId", "u-1"}}}), "Invalid identifier."},
      {team({{{"userId", "u-1"}}, {{"userId", "u-1"}}, {{"userId", "bad id"}}}), "Duplicate directory member."},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.service.on("GET", team_target, Reply::json(c.answer));
    EXPECT_EQ(text(tracking::directory(rig.client, "P1")), "error: " + c.error) << json_text::compact(c.answer);
    EXPECT_EQ(rig.sent(), Lines{team_line});
  }
}

TEST(TrackingDirectory, InvalidProjectIdSendsNothingAndServiceErrorsPassThrough) {
  for (const char* project : {"", "P/1", "P 1", "P1?x=1", "../P1", "P\u00e91"}) {
    Rig rig;
    EXPECT_EQ(text(tracking::directory(rig.client, project)), "error: Invalid identifier.") << project;
    EXPECT_TRUE(rig.sent().empty()) << project;
  }
  Rig rig;
  rig.service.on("GET", team_target, Reply::json(Json{{"message", "Not a project member"}}, 403));
  EXPECT_EQ(text(tracking::directory(rig.client, "P1")),
            "error: Veltrun API returned HTTP 403 for GET projects/P1/team: Not a project member");
  EXPECT_EQ(rig.sent(), Lines{team_line});
}

class TrackingSummary : public ::testing::Test {
 protected:
  const Json board = {
      {"id", "B1"},
      {"columns", {{{"id", "col-done"}, {"isTerminal", true}}, {{"id", "col-doing"}, {"isTerminal", false}}}}};

  static Json board_with(Json columns) { return {{"id", "B1"}, {"columns", std::move(columns)}}; }
  static Json item(const char* id, const char* phase, const char* type, Json assignee) {
    Json result = {{"id", id}, {"boardId", "B1"}, {"phase", phase}, {"type", type}};
    if (!assignee.is_discarded()) result["assigneeUserId"] = std::move(assignee);
    return result;
  }
  static std::string counted(int stories, int stories_yours, int items, int items_yours) {
    return R"({"asOf":"2024-03-05T07:08:09.120+00:00","boardId":"B1","currentUserId":"me","openStories":)" +
           std::to_string(stories) + R"(,"openStoriesAssignedToYou":)" + std::to_string(stories_yours) +
           R"(,"openWorkItems":)" + std::to_string(items) + R"(,"openWorkItemsAssignedToYou":)" +
           std::to_string(items_yours) + "}";
  }
  std::string run(const std::vector<Json>& items, const Json& on_board, Reply directory = Reply::json(team())) {
    Rig rig;
    rig.service.on("GET", team_target, std::move(directory));
    auto result = summary_of(rig.client, on_board, items, fixed_clock);
    EXPECT_EQ(rig.sent(), Lines{team_line});
    return text(result);
  }
};

TEST_F(TrackingSummary, CountsOpenWorkAndTheSignedInUsersShare) {
  const Json nobody(Json::value_t::discarded);
  Json doing_done = item("W7", "done", "story", nullptr);
  doing_done["columnId"] = "col-doing";
  Json terminal = item("W8", "review", "story", "me");
  terminal["columnId"] = "col-done";
  Json untyped = item("W10", "uat", "", "me");
  untyped.erase("type");
  const std::vector<Json> items = {
      item("W1", "inbox", "story", "me"),
      item("W2", "review", "story", "someone"),
      item("W3", "in_progress", "Story", "me"),  // not a story, but open work
      item("W4", "uat", "task", "me"),
      item("W5", "done", "story", "me"),  // closed by its phase
      item("W6", "refinement", "story", nobody),
      doing_done,  // open in its column whatever its phase
      terminal,    // closed by its column
      item("W9", "inbox", "bug", 5),
      untyped,
      item("W11", "inbox", "story", "ME"),
  };
  EXPECT_EQ(run(items, board), counted(5, 1, 9, 4));
}

TEST_F(TrackingSummary, EmptyBoardStillReadsTheDirectory) {
  EXPECT_EQ(run({}, board), counted(0, 0, 0, 0));
  EXPECT_EQ(run({}, board, Reply::json(Json{{"message", "Gone"}}, 410)),
            "error: Veltrun API returned HTTP 410 for GET projects/P1/team: Gone");
  EXPECT_EQ(run({}, board, Reply::json(team(nullptr))), "error: Missing project members.");
}

TEST_F(TrackingSummary, AnyBadItemFailsTheWholeSummary) {
  struct Case {
    std::vector<Json> items;
    Json board;
    std::string error;
  };
  const Json good = item("W1", "inbox", "story", "me");
  Json elsewhere = item("W2", "inbox", "story", "me");
  elsewhere["boardId"] = "B2";
  Json no_board = item("W2", "inbox", "story", "me");
  no_board.erase("boardId");
  Json no_id = item("W2", "inbox", "story", "me");
  no_id.erase("id");
  Json number_id = item("W2", "inbox", "story", "me");
  number_id["id"] = 2;
  Json in_column = item("W2", "done", "story", "me");
  in_column["columnId"] = "col-done";
  const Json board_without_id = {{"columns", board["columns"]}};
  const std::vector<Case> cases = {
      {{good, elsewhere}, board, summary_error},
      {{good, no_board}, board, summary_error},
      {{good, no_id}, board, summary_error},
      {{good, item("", "inbox", "story", "me")}, board, summary_error},
      {{good, number_id}, board, summary_error},
      {{good, item("W2", "inbox", "story", "me"), good}, board, summary_error},
      {{good}, board_without_id, summary_error},
      {{good, item("W2", "Done", "story", "me")}, board, "Unknown item phase; cannot classify open items."},
      {{good, in_column}, Json{{"id", "B1"}}, "Missing board columns; cannot classify open items."},
      {{good, in_column},
       Json{{"id", "B1"}, {"columns", "col-done"}},
       "Missing board columns; cannot classify open items."},
      {{good, in_column}, board_with({{{"id", "col-done"}}}), "Missing column terminal state."},
      {{good, in_column}, board_with({{{"id", "col-done"}, {"isTerminal", 1}}}), "Missing column terminal state."},
      {{good, in_column},
       board_with({{{"id", "col-done"}, {"isTerminal", true}}, {{"id", "col-done"}, {"isTerminal", false}}}),
       "Reference 'col-done' is missing or ambiguous in the selected scope."},
      {{good, in_column},
       board_with({{{"id", 5}, {"isTerminal", true}}}),
       "Reference 'col-done' is missing or ambiguous in the selected scope."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.items, c.board), "error: " + c.error) << json_text::compact(c.items.back());
  }
}

// The count keeps each id and each assignee once, at what it costs in
// memory, and stops at the list bound with the list's sentence.
TEST_F(TrackingSummary, KeptIdsAndAssigneesStopAtTheListBound) {
  using client_http::kept_entry_bytes;
  using client_http::max_list_bytes;
  struct Case {
    const char* name;
    std::size_t items;
    std::function<Json(std::size_t n)> item;
    std::string expected;
  };
  // Four assignees of a quarter of the bound each pass it with their entries.
  const std::size_t assignee_bytes = max_list_bytes / 4;
  const auto assigned_to = [this, assignee_bytes](bool unique) {
    return [this, assignee_bytes, unique](std::size_t n) {
      const std::string tail = unique ? std::to_string(n) : "";
      return item(("W" + std::to_string(n)).c_str(), "inbox", "task",
                  std::string(assignee_bytes - tail.size(), 'u') + tail);
    };
  };
  // Closed items with ids of 64 KiB, as many as the bound holds.
  constexpr std::size_t id_bytes = std::size_t{64} << 10;
  const std::size_t ids_within = max_list_bytes / kept_entry_bytes(id_bytes);
  const auto long_id = [this](std::size_t n) {
    const std::string head = "W" + std::to_string(n) + "-";
    return item((head + std::string(id_bytes - head.size(), 'i')).c_str(), "done", "task", nullptr);
  };
  const std::string too_large = "error: " + client_http::list_too_large();
  const std::vector<Case> cases = {
      {"every assignee is kept", 4, assigned_to(true), too_large},
      {"an assignee is kept once", 4, assigned_to(false), counted(0, 0, 4, 0)},
      {"every id is kept", ids_within + 1, long_id, too_large},
      {"ids within the bound", ids_within, long_id, counted(0, 0, 0, 0)},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.service.on("GET", team_target, Reply::json(team()));
    tracking::BoardCount count(board);
    for (std::size_t n = 1; n <= c.items; ++n) count.add(c.item(n));
    EXPECT_EQ(text(count.summary(rig.client, "P1", fixed_clock)), c.expected) << c.name;
    EXPECT_EQ(count.error().has_value(), c.expected == too_large) << c.name;
  }
}

TEST_F(TrackingSummary, ReadsTheClockOnlyOnceEverythingIsCounted) {
  struct Case {
    std::vector<Json> items;
    Reply directory;
    std::string result;
    std::vector<std::size_t> clock_reads;  // requests already sent at each read of the clock
  };
  const Json good = item("W1", "inbox", "story", "me");
  const std::vector<Case> cases = {
      {{good}, Reply::json(team()), counted(1, 1, 1, 1), {1}},
      {{good, good}, Reply::json(team()), "error: " + summary_error, {}},
      {{good, item("W2", "closed", "story", "me")},
       Reply::json(team()),
       "error: Unknown item phase; cannot classify open items.",
       {}},
      {{good}, Reply::json(team("none")), "error: Missing project members.", {}},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.service.on("GET", team_target, c.directory);
    std::vector<std::size_t> reads;
    const tracking::WallClock clock = [&] {
      reads.push_back(rig.service.requests().size());
      return fixed_instant;
    };
    EXPECT_EQ(text(summary_of(rig.client, board, c.items, clock)), c.result) << c.result;
    EXPECT_EQ(reads, c.clock_reads) << c.result;
  }
}

class TrackingAssign : public ::testing::Test {
 protected:
  const Json item = {
      {"id", "W1"}, {"key", "DB-7"}, {"boardId", "B1"}, {"projectId", "P1"}, {"assigneeUserId", "u-old"}};

  static Json echo(Json assignee) {
    Json work_item = {{"id", "W1"}, {"boardId", "B1"}, {"projectId", "P1"}, {"title", "Retry"}};
    if (!assignee.is_discarded()) work_item["assigneeUserId"] = std::move(assignee);
    return Json{{"workItem", std::move(work_item)}};
  }
  static std::string patch(const std::string& body) { return "PATCH " + assignment_target + " " + body; }

  struct Run {
    std::string result;
    Lines sent;
  };
  static Run run(const Json& on, const Json& arguments, std::optional<Reply> reply = std::nullopt,
                 const char* project = "P1") {
    Rig rig;
    rig.service.on("GET", team_target, Reply::json(team()));
    if (reply) rig.service.on("PATCH", assignment_target, *reply);
    auto outcome = tracking::assign(rig.client, project, "B1", on, arguments);
    return {text(outcome), rig.sent()};
  }
};

TEST_F(TrackingAssign, WritesTheAssigneeWithItsReasonAndConfirmsTheEcho) {
  struct Case {
    Json item;
    Json arguments;
    Json echoed;
    Lines sent;
    std::string result;
  };
  const Json unassigned_echo = echo(Json(Json::value_t::discarded));
  Json by_reference = item;
  by_reference.erase("key");
  by_reference["reference"] = "R-3";
  Json unnamed = item;
  unnamed.erase("key");
  const std::string to_new = R"({"assigneeUserId":"u-new","changed":true,"reference":"DB-7"})";
  const std::string to_nobody = R"({"assigneeUserId":null,"changed":true,"reference":"DB-7"})";
  const std::vector<Case> cases = {
      {item,
       {{"assignee_user_id", "u-new"}, {"reason", "Pairing on it"}},
       echo("u-new"),
       {team_line, patch(R"({"assigneeUserId":"u-new","reason":"Pairing on it"})")},
       to_new},
      {item,
       {{"assignee_user_id", "u-new"}},
       echo("u-new"),
       {team_line, patch(R"({"assigneeUserId":"u-new","reason":""})")},
       to_new},
      {item,
       {{"assignee_user_id", "u-new"}, {"reason", 5}},
       echo("u-new"),
       {team_line, patch(R"({"assigneeUserId":"u-new","reason":""})")},
       to_new},
      {item,
       {{"assignee_user_id", "u-new"}, {"reason", "  kept as sent \n"}},
       echo("u-new"),
       {team_line, patch(R"({"assigneeUserId":"u-new","reason":"  kept as sent \n"})")},
       to_new},
      {by_reference,
       {{"assignee_user_id", "u-new"}},
       echo("u-new"),
       {team_line, patch(R"({"assigneeUserId":"u-new","reason":""})")},
       R"({"assigneeUserId":"u-new","changed":true,"reference":"R-3"})"},
      {unnamed,
       {{"assignee_user_id", "u-new"}},
       echo("u-new"),
       {team_line, patch(R"({"assigneeUserId":"u-new","reason":""})")},
       R"({"assigneeUserId":"u-new","changed":true,"reference":""})"},
      // Unassignment never reads the directory; an echo without an assignee confirms it.
      {item,
       {{"assignee_user_id", nullptr}, {"reason", "Off sprint"}},
       unassigned_echo,
       {patch(R"({"assigneeUserId":null,"reason":"Off sprint"})")},
       to_nobody},
      {item,
       {{"assignee_user_id", nullptr}},
       echo(nullptr),
       {patch(R"({"assigneeUserId":null,"reason":""})")},
       to_nobody},
  };
  for (const Case& c : cases) {
    const Run r = run(c.item, c.arguments, Reply::json(c.echoed));
    EXPECT_EQ(r.result, c.result) << json_text::compact(c.arguments);
    EXPECT_EQ(r.sent, c.sent) << json_text::compact(c.arguments);
  }
}

TEST_F(TrackingAssign, MatchingAssignmentWritesNothing) {
  struct Case {
    Json item;
    Json arguments;
    Lines sent;
    std::string result;
    const char* project = "P1";
  };
  Json unassigned = item;
  unassigned.erase("assigneeUserId");
  Json unassigned_without_id = unassigned;
  unassigned_without_id.erase("id");
  Json null_assignee = item;
  null_assignee["assigneeUserId"] = nullptr;
  Json held_by_stranger = item;
  held_by_stranger["assigneeUserId"] = "u-stranger";
  const std::vector<Case> cases = {
      {unassigned, {{"assignee_user_id", nullptr}}, {}, matches},
      {null_assignee, {{"assignee_user_id", nullptr}, {"reason", "x"}}, {}, matches},
      {item, {{"assignee_user_id", "u-old"}}, {team_line}, matches},
      // The current assignee must still be an eligible member.
      {held_by_stranger, {{"assignee_user_id", "u-stranger"}}, {team_line}, "error: " + not_member},
      // Nothing is written, so neither the item's id nor the project id goes into a path.
      {unassigned_without_id, {{"assignee_user_id", nullptr}}, {}, matches},
      {unassigned, {{"assignee_user_id", nullptr}}, {}, matches, "P/1"},
  };
  for (const Case& c : cases) {
    const Run r = run(c.item, c.arguments, Reply::json(echo("u-new")), c.project);
    EXPECT_EQ(r.result, c.result) << json_text::compact(c.item);
    EXPECT_EQ(r.sent, c.sent) << json_text::compact(c.item);
  }
}

TEST_F(TrackingAssign, RefusesBadRequestsBeforeWriting) {
  struct Case {
    Json item;
    Json arguments;
    const char* project;
    Lines sent;
    std::string error;
  };
  const std::string required = "assignee_user_id is required; use null to unassign.";
  const std::string wrong_type = "assignee_user_id must be a user ID or null.";
  const std::string invalid = "Invalid identifier.";
  Json slash_id = item;
  slash_id["id"] = "W/1";
  Json empty_id = item;
  empty_id["id"] = "";
  Json no_id = item;
  no_id.erase("id");
  const std::vector<Case> cases = {
      {item, Json::object(), "P1", {}, required},
      {item, {{"reason", "x"}}, "P1", {}, required},
      {item, Json(nullptr), "P1", {}, required},
      {item, Json::array({"u-new"}), "P1", {}, required},
      {item, {{"assignee_user_id", 5}}, "P1", {}, wrong_type},
      {item, {{"assignee_user_id", false}}, "P1", {}, wrong_type},
      {item, {{"assignee_user_id", Json::array()}}, "P1", {}, wrong_type},
      {item, {{"assignee_user_id", {{"userId", "u-new"}}}}, "P1", {}, wrong_type},
      {item, {{"assignee_user_id", ""}}, "P1", {}, invalid},
      {item, {{"assignee_user_id", "u new"}}, "P1", {}, invalid},
      {item, {{"assignee_user_id", "../u-new"}}, "P1", {}, invalid},
      {item, {{"assignee_user_id", "u-stranger"}}, "P1", {team_line}, not_member},
      {item, {{"assignee_user_id", "u-new"}}, "P/1", {}, invalid},
      {item, {{"assignee_user_id", nullptr}}, "P/1", {}, invalid},
      {item, {{"assignee_user_id", nullptr}}, "", {}, invalid},
      {slash_id, {{"assignee_user_id", "u-new"}}, "P1", {team_line}, invalid},
      {empty_id, {{"assignee_user_id", "u-new"}}, "P1", {team_line}, invalid},
      {no_id, {{"assignee_user_id", nullptr}}, "P1", {}, invalid},
  };
  for (const Case& c : cases) {
    const Run r = run(c.item, c.arguments, Reply::json(echo("u-new")), c.project);
    EXPECT_EQ(r.result, "error: " + c.error) << json_text::compact(c.arguments) << " " << c.project;
    EXPECT_EQ(r.sent, c.sent) << json_text::compact(c.arguments) << " " << c.project;
  }
}

TEST_F(TrackingAssign, DirectoryAndWriteFailuresPassThrough) {
  Rig rig;
  rig.service.on("GET", team_target,
                 Reply::json(team(Json::array({Json{{"userId", "u-new"}}, Json{{"userId", "u-new"}}}))));
  EXPECT_EQ(text(tracking::assign(rig.client, "P1", "B1", item, {{"assignee_user_id", "u-new"}})),
            "error: Duplicate directory member.");
  EXPECT_EQ(rig.sent(), Lines{team_line});

  const Run refused = run(item, {{"assignee_user_id", "u-new"}}, Reply::json(Json{{"message", "Locked item"}}, 409));
  EXPECT_EQ(refused.result, "error: Veltrun API returned HTTP 409 for PATCH " + assignment_target + ": Locked item");
  EXPECT_EQ(refused.sent, (Lines{team_line, patch(R"({"assigneeUserId":"u-new","reason":""})")}));
}

TEST_F(TrackingAssign, UnconfirmedEchoesAreReportedAsUnverified) {
  struct Case {
    Reply reply;
    std::string error;
    std::string label;
  };
  const auto changed = [](const std::string& key, Json value) {
    Json answer = echo("u-new");
    if (value.is_discarded()) {
      answer["workItem"].erase(key);
    } else {
      answer["workItem"][key] = std::move(value);
    }
    return Reply::json(answer);
  };
  const Json gone(Json::value_t::discarded);
  const std::vector<Case> cases = {
      {Reply::empty(204), no_item, "204"},
      {Reply::json(Json::object()), no_item, "{}"},
      {Reply::json(Json{{"item", echo("u-new")["workItem"]}}), no_item, "item"},
      {Reply::json(Json::array({echo("u-new")})), no_item, "array"},
      {Reply::json(Json{{"workItem", nullptr}}), mismatch, "null workItem"},
      {changed("id", "W2"), mismatch, "other id"},
      {changed("id", gone), mismatch, "no id"},
      {changed("boardId", "B2"), mismatch, "other board"},
      {changed("boardId", gone), mismatch, "no board"},
      {changed("projectId", "P2"), mismatch, "other project"},
      {changed("projectId", 1), mismatch, "numeric project"},
      {changed("assigneeUserId", "u-old"), mismatch, "old assignee"},
      {changed("assigneeUserId", gone), mismatch, "no assignee"},
      {changed("assigneeUserId", nullptr), mismatch, "null assignee"},
  };
  for (const Case& c : cases) {
    const Run r = run(item, {{"assignee_user_id", "u-new"}}, c.reply);
    EXPECT_EQ(r.result, "error: " + c.error) << c.label;
    EXPECT_EQ(r.sent, (Lines{team_line, patch(R"({"assigneeUserId":"u-new","reason":""})")})) << c.label;
  }
  // An unassignment answered with an assignee still set did not happen.
  const Run kept = run(item, {{"assignee_user_id", nullptr}}, Reply::json(echo("u-old")));
  EXPECT_EQ(kept.result, "error: " + mismatch);
  EXPECT_EQ(kept.sent, Lines{patch(R"({"assigneeUserId":null,"reason":""})")});
}

}  // namespace
