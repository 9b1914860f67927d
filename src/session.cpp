#include "session.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context.hpp"
#include "item_reference.hpp"

namespace {

constexpr std::string_view auth_required = "AUTH_REQUIRED:";

std::string status_word(const Json& status) { return context::field(status, "status"); }

// The board of the one project item named by the bound work item. Only the
// first match's board id outlives its page.
Result<Json> bound_item_board(const Session& copy, const Client& client, const std::string& project_id,
                              const std::vector<Json>& boards) {
  std::string board_id;
  int matches = 0;
  auto listed = client.each_item_page(
      project_id, std::nullopt, "comments", [&](std::vector<Json>& page, std::size_t) -> Result<void> {
        for (const Json& item : page) {
          if (reference(item) != copy.work_item && !context::has_id(item, copy.work_item)) {
            continue;
          }
          if (++matches == 1) board_id = context::field(item, "boardId");
        }
        return {};
      });
  if (!listed) return std::unexpected(listed.error());
  if (matches != 1) {
    return std::unexpected(
        "The session's bound work item is missing or ambiguous. Pass an explicit project and board.");
  }
  const Json* board = context::first_with_id(boards, board_id);
  if (!board) return std::unexpected("Bound work item's board is unavailable.");
  return *board;
}

// Settles the board of the copy's selected project; the state word, or an error text.
Result<std::string> resolve_board(Session& copy, const Client& client, const Json& arguments,
                                  const std::vector<Json>& boards, const std::string& project_id) {
  const std::string board_id = context::field(arguments, "board_id");
  std::string choice = board_id;
  if (choice.empty() && !copy.board && copy.source == "VELTRUN_PROJECT") {
    choice = copy.env_board;
  }
  if (!choice.empty()) {
    const Json* found = context::first_with_id(boards, choice);
    if (!found) return std::unexpected("Board does not belong to the selected project.");
    if (!board_id.empty() && !(copy.board && context::has_id(*copy.board, choice))) copy.work_item.clear();
    copy.board = *found;
  }
  if (copy.board) {
    const Json* listed = context::first_with_id(boards, context::field(*copy.board, "id"));
    if (!listed) return std::unexpected("The selected board is no longer available. Select a board explicitly.");
    copy.board = *listed;
    return "ready";
  }
  if (!copy.work_item.empty()) {
    auto board = bound_item_board(copy, client, project_id, boards);
    if (!board) return std::unexpected(board.error());
    copy.board = std::move(*board);
    return "ready";
  }
  if (boards.size() == 1) {
    copy.board = boards.front();
    return "ready";
  }
  return boards.empty() ? "no_boards" : "needs_board";
}

Result<Json> resolve(Session& copy, const Client& client, const Json& arguments) {
  auto first = copy.local_context(arguments, std::nullopt);
  if (!first) return first;
  if (status_word(*first) == "needs_opt_in") return first;
  if (status_word(*first) == "disabled") {
    client.reset_auth();
    return first;
  }

  auto projects = client.projects();
  if (!projects) return std::unexpected(projects.error());
  if (copy.project && context::field(arguments, "project_id").empty() &&
      !context::first_with_id(*projects, context::field(*copy.project, "id"))) {
    return std::unexpected(
        "Selected project is not accessible to the authenticated account. Select another project explicitly.");
  }
  if (projects->empty()) return copy.status("no_projects", {});

  auto second = copy.local_context(arguments, std::move(*projects));
  if (!second) return second;
  const std::string word = status_word(*second);
  if (word != "needs_board" && word != "ready") return second;

  // Both words come with a selected project; without one the id is empty and
  // the board request refuses it.
  const std::string project_id = copy.project ? context::field(*copy.project, "id") : std::string();
  auto boards = client.boards(project_id);
  if (!boards) return std::unexpected(boards.error());
  auto state = resolve_board(copy, client, arguments, *boards, project_id);
  if (!state) return std::unexpected(state.error());
  Json status = copy.status(*state, {});
  status["boards"] = Json(std::move(*boards));
  return status;
}

}  // namespace

Result<Json> session_context(Session& session, const Client& client, const Json& arguments) {
  if (context::field(arguments, "action") == "enable") {
    session.disabled = false;
    session.opted_in = true;
  }
  Session copy = session;
  auto outcome = resolve(copy, client, arguments);
  if (!outcome && !outcome.error().starts_with(auth_required)) return outcome;
  if (!outcome) outcome = copy.status("needs_auth", {});
  session = std::move(copy);
  return outcome;
}
