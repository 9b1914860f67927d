#include "tracking.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "context.hpp"
#include "item_reference.hpp"
#include "time_text.hpp"
#include "tool_schema.hpp"

namespace tracking {

using tool_schema::text;
using tool_schema::tool;

Json directory_definition(std::string_view name) {
  return tool(name,
              "Read eligible active project members and authenticated currentUserId. Use exact IDs for assignment; "
              "never guess from a token.",
              {});
}

Json summary_definition(std::string_view name) {
  return tool(name,
              "Count open stories and all open work items on the selected board, and the subsets assigned to the "
              "authenticated user. Read-only; errors never mean zero.",
              {});
}

Json assign_definition(std::string_view name) {
  return tool(name,
              "Assign an item to an eligible project member, or clear its assignee with null. Changes only "
              "assignment; does not transfer claims, ownership, phase or notify by email. Explicit user assignment "
              "request required.",
              {.properties = {{"reference", text()},
                              {"assignee_user_id",
                               {{"description", "Exact userId from list_project_members, or null to unassign."},
                                {"type", Json::array({"string", "null"})}}},
                              {"reason", text()}},
               .required = {"assignee_user_id"}});
}

Json time_definition(std::string_view name) {
  return tool(name,
              "Read cumulative calendar duration in each canonical phase, including reentries. Not active work or "
              "billable time. Current closed phase stops accumulating; incomplete history is labeled. Custom columns "
              "are grouped by canonical phase.",
              {.properties = {{"reference", text()}}});
}

namespace {

constexpr std::string_view missing_item_unknown_outcome =
    "Assignment response missing item; outcome unverified. Read before retrying.";
constexpr std::string_view mismatch_unknown_outcome =
    "Assignment response mismatch; outcome unverified. Read before retrying.";

// The elements of an array member, or nothing when the member is no array.
std::optional<std::vector<Json>> array_member(const Json& record, std::string_view key) {
  const Json* found = context::member(record, key);
  if (!found || !found->is_array()) return std::nullopt;
  return found->get<std::vector<Json>>();
}

// The member under key, null when absent.
Json member_or_null(const Json& record, std::string_view key) {
  const Json* found = context::member(record, key);
  return found ? *found : Json(nullptr);
}

// Without a copy: the summary looks at every item of a board.
using context::field_view;

Result<void> check_members(const Json& members) {
  std::set<std::string> seen;
  for (const Json& member : members) {
    auto user_id = context::identifier(context::field(member, "userId"));
    if (!user_id) return std::unexpected(user_id.error());
    if (!seen.insert(*user_id).second) return failure("Duplicate directory member.");
  }
  return {};
}

// The requested assignee: a directory member's id, or null to unassign.
Result<Json> requested_assignee(const Client& client, std::string_view project_id, const Json& arguments) {
  const Json* it = context::member(arguments, "assignee_user_id");
  if (!it) {
    return failure("assignee_user_id is required; use null to unassign.");
  }
  if (it->is_null()) return Json(nullptr);
  if (!it->is_string()) return failure("assignee_user_id must be a user ID or null.");
  auto user_id = context::identifier(it->get_ref<const std::string&>());
  if (!user_id) return std::unexpected(user_id.error());
  auto team = directory(client, project_id);
  if (!team) return std::unexpected(team.error());
  const auto members = array_member(*team, "members");
  auto member = choose(members.value_or(std::vector<Json>{}), *user_id, {"userId"});
  if (!member) return std::unexpected(member.error());
  return Json(*user_id);
}

Result<void> confirm_echo(const Json& response, std::string_view project_id, std::string_view board_id,
                          const std::string& item_id, const Json& assignee) {
  const Json* echo = context::member(response, "workItem");
  if (!echo) return failure(missing_item_unknown_outcome);
  const Json& echoed = *echo;
  const bool same = context::field(echoed, "id") == item_id && context::field(echoed, "boardId") == board_id &&
                    context::field(echoed, "projectId") == project_id &&
                    member_or_null(echoed, "assigneeUserId") == assignee;
  if (!same) return failure(mismatch_unknown_outcome);
  return {};
}

// The assignment's text once its request has been sent.
ToolOutcome assigned(const std::expected<Json, Client::Failure>& response, std::string_view project_id,
                     std::string_view board_id, const std::string& item_id, const Json& assignee, const Json& item) {
  if (!response) return failure(response.error().text_with(assignment_unknown_outcome));
  if (auto confirmed = confirm_echo(*response, project_id, board_id, item_id, assignee); !confirmed) {
    return std::unexpected(confirmed.error());
  }
  const Json result = {{"assigneeUserId", assignee}, {"changed", true}, {"reference", reference(item)}};
  return json_text::compact(result);
}

}  // namespace

Result<std::string> phase(std::string_view text) {
  if (!one_of(text, phases)) return failure("Unknown phase in history.");
  return std::string(text);
}

// Indexed in place: a board's columns outlive every count over its items.
Columns::Columns(const Json& board) {
  const Json* found = context::member(board, "columns");
  if (found && found->is_array()) by_id_.emplace(found->get_ref<const Json::array_t&>(), "id");
}

Result<bool> Columns::terminal(std::string_view column_id) const {
  if (!by_id_) return failure("Missing board columns; cannot classify open items.");
  auto column = by_id_->choose(column_id);
  if (!column) return std::unexpected(column.error());
  const Json* terminal = context::member(**column, "isTerminal");
  if (!terminal || !terminal->is_boolean()) return failure("Missing column terminal state.");
  return terminal->get<bool>();
}

Result<bool> closed(const Json& item, const Columns& columns) {
  const std::string_view column_id = field_view(item, "columnId");
  if (!column_id.empty()) return columns.terminal(column_id);
  const std::string_view word = field_view(item, "phase");
  if (!one_of(word, phases)) return failure("Unknown item phase; cannot classify open items.");
  return word == "done";
}

Result<bool> closed(const Json& item, const Json& board) { return closed(item, Columns(board)); }

Result<Json> directory(const Client& client, std::string_view project_id) {
  auto project = context::identifier(project_id);
  if (!project) return std::unexpected(project.error());
  auto answer = client.request("GET", "projects/" + *project + "/team", false);
  if (!answer) return std::unexpected(answer.error());
  if (context::field(*answer, "projectId") != *project || context::field(*answer, "currentUserId").empty()) {
    return failure("Invalid project directory identity/scope.");
  }
  const Json* members = context::member(*answer, "members");
  if (!members || !members->is_array()) return failure("Missing project members.");
  if (auto checked = check_members(*members); !checked) return std::unexpected(checked.error());
  return std::move(*answer);
}

BoardCount::BoardCount(const Json& board) : columns_(board), board_id_(context::field(board, "id")) {}

// The ids and the assignees are all that grows with the board: a real one's
// are a few MB with their entries.
bool BoardCount::keeps(std::string_view text) {
  kept_bytes_ += client_http::kept_entry_bytes(text.size());
  if (kept_bytes_ <= client_http::max_list_bytes) return true;
  first_error_ = client_http::list_too_large();
  return false;
}

void BoardCount::add(const Json& item) {
  if (first_error_) return;
  const std::string_view id = field_view(item, "id");
  if (field_view(item, "boardId") != board_id_ || id.empty() || seen_.contains(id)) {
    first_error_ = "Invalid or duplicate board item in summary.";
    return;
  }
  if (!keeps(id)) return;
  seen_.emplace(id);
  auto is_closed = closed(item, columns_);
  if (!is_closed) {
    first_error_ = std::move(is_closed.error());
    return;
  }
  if (!*is_closed) count_open(item);
}

void BoardCount::count_open(const Json& item) {
  const std::string_view assignee = field_view(item, "assigneeUserId");
  auto assigned = open_by_assignee_.find(assignee);
  if (assigned == open_by_assignee_.end()) {
    if (!keeps(assignee)) return;
    assigned = open_by_assignee_.try_emplace(std::string(assignee)).first;
  }
  const bool story = field_view(item, "type") == "story";
  for (Open* open : {&open_, &assigned->second}) {
    open->items += 1;
    if (story) open->stories += 1;
  }
}

Result<Json> BoardCount::summary(const Client& client, std::string_view project_id, const WallClock& now) const {
  auto team = directory(client, project_id);
  if (!team) return std::unexpected(team.error());
  if (first_error_) return std::unexpected(*first_error_);
  const std::string current_user = context::field(*team, "currentUserId");
  // current_user is never empty, so an absent or non-string assignee, counted
  // under "", is never the user's.
  const auto found = open_by_assignee_.find(current_user);
  const Open yours = found == open_by_assignee_.end() ? Open{} : found->second;
  Json result = Json::object();
  result["boardId"] = board_id_;
  result["currentUserId"] = current_user;
  result["openStories"] = open_.stories;
  result["openStoriesAssignedToYou"] = yours.stories;
  result["openWorkItems"] = open_.items;
  result["openWorkItemsAssignedToYou"] = yours.items;
  result["asOf"] = time_text::utc(now());
  return result;
}

ToolOutcome assign(const Client& client, std::string_view project_id, std::string_view board_id, const Json& item,
                   const Json& arguments) {
  auto assignee = requested_assignee(client, project_id, arguments);
  if (!assignee) return std::unexpected(assignee.error());
  if (member_or_null(item, "assigneeUserId") == *assignee) return "Assignment already matches; no write performed.";
  auto item_id = context::identifier(context::field(item, "id"));
  if (!item_id) return std::unexpected(item_id.error());
  // An unassignment never reads the directory, so the project id is checked here too.
  auto project = context::identifier(project_id);
  if (!project) return std::unexpected(project.error());
  const Json reason = member_or_null(arguments, "reason");
  const Json body = {{"assigneeUserId", *assignee}, {"reason", reason.is_string() ? reason : Json("")}};
  auto response =
      client.send("PATCH", "board/projects/" + *project + "/work-items/" + *item_id + "/assignment", false, body);
  ToolOutcome outcome = assigned(response, *project, board_id, *item_id, *assignee, item);
  if (response || response.error().outcome_unknown) outcome.written = assignment_unknown_outcome;
  return outcome;
}

}  // namespace tracking
