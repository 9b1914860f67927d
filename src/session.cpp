#include "session.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "context.hpp"
#include "environment.hpp"
#include "item_reference.hpp"
#include "tool_outcome.hpp"

namespace {

std::string_view instruction(std::string_view state) {
  if (state == "disabled")
    return "Veltrun is off for this session. Do not call its tools, mention its board or ask again. Only an "
           "explicit /veltrun, /vlt-* or $vlt-* user command may enable it again.";
  if (state == "no_boards")
    return "This project has no boards. Ask the user to select another project or create a board in Veltrun. "
           "Do not write.";
  if (state == "needs_auth")
    return "Authentication is missing or expired. Call veltrun_login(action=start), it opens the browser. Show "
           "its URL as a clickable Markdown fallback link and its user code. Poll automatically after the returned "
           "interval; never ask the user to say done. Never ask for passwords or keys in chat. After "
           "authenticated, call veltrun_session(action=status), resolve any choices, and load project_context "
           "without another confirmation. Do not retry writes automatically.";
  if (state == "no_projects")
    return "No accessible projects were returned for this account. Ask the user to create a project or obtain "
           "access in Veltrun.";
  if (state == "needs_board")
    return "Ask the user to choose a board from the returned options, then call "
           "veltrun_session(action=select, board_id=...).";
  if (state == "needs_opt_in")
    return "Present the returned question with its two choices using the host question UI when available (plain "
           "text fallback). Do this on the first interaction, not only after a workspace request. Wait for an "
           "explicit answer. If no, call veltrun_session(action=disable) and stop all Veltrun activity. If yes, "
           "call action=enable, then ask the project and board questions returned. Do not list projects before "
           "consent.";
  if (state == "needs_project")
    return "Ask the user to choose one of these projects, then call veltrun_session(action=select, "
           "project_id=...). Never choose the first entry implicitly.";
  return "Use this session's project and board. Directory or app selection changes must not reroute this session.";
}

Json consent_question() {
  return Json{
      {"title",
       "Vrei s\u0103 conectezi Veltrun \u00een aceast\u0103 sesiune pentru taskuri \u0219i documenta\u021bie?"},
      {"options", Json::array({
                      Json{{"label", "Conecteaz\u0103 Veltrun"}, {"action", "enable"}},
                      Json{{"label", "Continu\u0103 f\u0103r\u0103 Veltrun"}, {"action", "disable"}},
                  })},
  };
}

bool existing_absolute_directory(const std::string& text) {
  if (!context::nameable(text)) return false;
  const std::filesystem::path path(text);
  std::error_code error;
  return path.is_absolute() && std::filesystem::is_directory(path, error);
}

// The answer when the action settles the call; nothing when the call goes on.
// An absent or non-string action reads as "", which asks for the status.
std::optional<Result<Json>> take_action(Session& session, std::string_view action) {
  if (action == "disable") {
    session.disabled = true;
    session.opted_in = false;
    session.project.reset();
    session.board.reset();
    session.work_item.clear();
    return session.status("disabled", {});
  }
  if (session.disabled && action != "enable") return session.status("disabled", {});
  if (action == "enable") {
    session.disabled = false;
    session.opted_in = true;
  } else if (!one_of(action, {"", "status", "select"})) {
    return failure("action must be status, enable, disable or select.");
  }
  return std::nullopt;
}

Result<void> take_folder(Session& session, const std::string& folder) {
  if (folder.empty()) return {};
  if (!existing_absolute_directory(folder)) {
    return std::unexpected("cwd must be an existing absolute workspace directory.");
  }
  session.cwd = folder;
  return {};
}

// The explicit choice, else the environment's, for a session without a project.
Result<void> select_named(Session& session, const std::string& project_id, const std::string& env_project,
                          const std::vector<Json>& projects_list) {
  if (!project_id.empty()) {
    const Json* found = context::first_with_id(projects_list, project_id);
    if (!found) return std::unexpected("Project is not accessible to the authenticated account.");
    if (!session.project || context::field(*session.project, "id") != project_id) {
      session.board.reset();
      session.work_item.clear();
    }
    session.project = *found;
    session.source = "session selection";
  }
  if (session.project || env_project.empty()) return {};
  const Json* found = context::first_with_id(projects_list, env_project);
  if (!found) return std::unexpected("VELTRUN_PROJECT is not accessible; explicitly select an available project.");
  session.project = *found;
  session.source = "VELTRUN_PROJECT";
  session.opted_in = true;
  return {};
}

// Selects the one project registered for the workspace folder; otherwise the
// projects to offer: the deepest matches, or all when none matches.
std::optional<std::vector<Json>> select_by_folder(Session& session, std::vector<Json> projects_list) {
  if (!session.cwd) return projects_list;
  std::vector<Json> matches = context::candidates(projects_list, *session.cwd);
  if (matches.empty()) return projects_list;
  if (matches.size() > 1) return matches;
  session.project = std::move(matches.front());
  session.source = "workspace folder";
  session.opted_in = true;
  return std::nullopt;
}

}  // namespace

Session Session::from_env(const Environment& env) {
  Session session;
  session.cwd = env.cwd;
  session.work_item = env.work_item;
  session.env_project = env.project;
  session.env_board = env.board;
  return session;
}

Json Session::status(std::string_view state, std::vector<Json> projects_list) const {
  Json object = {
      {"status", state},
      {"instruction", instruction(state)},
      {"project", project.value_or(nullptr)},
      {"board", board.value_or(nullptr)},
      {"source", source},
      {"cwd", cwd ? Json(*cwd) : Json(nullptr)},
      {"projects", Json(std::move(projects_list))},
  };
  if (state == "needs_opt_in") object["question"] = consent_question();
  return object;
}

Result<Json> Session::local_context(const Json& arguments, std::optional<std::vector<Json>> projects_list) {
  if (auto answer = take_action(*this, context::field_view(arguments, "action"))) return std::move(*answer);
  if (auto folder = take_folder(*this, context::field(arguments, "cwd")); !folder) {
    return std::unexpected(folder.error());
  }
  if (!opted_in && env_project.empty()) return status("needs_opt_in", {});
  if (!projects_list) {
    opted_in = true;
    return status("needs_project", {});
  }
  if (auto named = select_named(*this, context::field(arguments, "project_id"), env_project, *projects_list); !named) {
    return std::unexpected(named.error());
  }
  if (!project) {
    auto offered = select_by_folder(*this, std::move(*projects_list));
    if (offered) return status("needs_project", std::move(*offered));
  }
  return status(board ? "ready" : "needs_board", {});
}

namespace {

constexpr std::string_view auth_required = "AUTH_REQUIRED:";

std::string status_word(const Json& status) { return context::field(status, "status"); }

// The board of the one project item named by the bound work item. Only the
// first match's board id outlives its page.
Result<Json> bound_item_board(const Session& copy, const Client& client, const std::string& project_id,
                              const std::vector<Json>& boards) {
  std::string board_id;
  int matches = 0;
  auto listed =
      client.each_item_page(project_id, std::nullopt, "comments", [&](std::vector<Json>& page) -> Result<void> {
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
