#include "context.hpp"

#include <cctype>
#include <system_error>

#include "environment.hpp"
#include "file_text.hpp"
#include "session_record.hpp"
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

// The system sees a path only up to its first NUL, so such a text names
// something other than what it says; one past max_path_bytes names nothing.
bool nameable(std::string_view path) {
  return path.size() <= context::max_path_bytes && path.find('\0') == std::string_view::npos;
}

// Checked before the text becomes a path: making a path of it costs work in
// its length.
std::optional<std::filesystem::path> canonical_path(std::string_view text) {
  if (!nameable(text)) return std::nullopt;
  std::error_code error;
  auto result = std::filesystem::canonical(std::filesystem::path(text), error);
  if (error) return std::nullopt;
  return result;
}

// Components of a canonical path; the root counts as one.
std::vector<std::filesystem::path> components(const std::filesystem::path& path) { return {path.begin(), path.end()}; }

bool inside(const std::vector<std::filesystem::path>& folder, const std::vector<std::filesystem::path>& repo) {
  if (repo.size() > folder.size()) return false;
  for (std::size_t i = 0; i < repo.size(); ++i) {
    if (folder[i] != repo[i]) return false;
  }
  return true;
}

bool existing_absolute_directory(const std::string& text) {
  if (!nameable(text)) return false;
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

namespace context {

Result<std::string> identifier(std::string_view text) {
  if (text.empty()) return std::unexpected(std::string(invalid_identifier));
  for (unsigned char c : text) {
    if (!(std::isalnum(c) && c < 0x80) && c != '-' && c != '_') {
      return std::unexpected(std::string(invalid_identifier));
    }
  }
  return std::string(text);
}

const Json* member(const Json& value, std::string_view key) {
  if (!value.is_object()) return nullptr;
  const auto found = value.find(key);
  return found == value.end() ? nullptr : &*found;
}

std::string field(const Json& value, std::string_view key) { return std::string(field_view(value, key)); }

std::optional<std::uint64_t> whole_number(const Json* value) {
  if (!value || !value->is_number_integer()) return std::nullopt;
  // The parser keeps the writing in the kind: an integer without a sign is
  // unsigned, one with a minus is signed, and "-0" is a signed 0, its sign
  // otherwise lost. A value built in code may hold a positive number of the
  // signed kind; a signed 0 can only be "-0" in parsed text.
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  const auto number = value->get<std::int64_t>();
  return number > 0 ? std::optional(static_cast<std::uint64_t>(number)) : std::nullopt;
}

std::optional<std::uint64_t> positive_integer(const Json* value) {
  const auto number = whole_number(value);
  return number && *number > 0 ? number : std::nullopt;
}

std::string_view field_view(const Json& value, std::string_view key) {
  const Json* found = member(value, key);
  if (!found || !found->is_string()) return {};
  return found->get_ref<const std::string&>();
}

bool has_id(const Json& record, std::string_view id) { return field_view(record, "id") == id; }

const Json* first_with_id(const std::vector<Json>& records, std::string_view id) {
  for (const Json& record : records) {
    if (has_id(record, id)) return &record;
  }
  return nullptr;
}

std::vector<Json> candidates(const std::vector<Json>& projects_list, const std::filesystem::path& cwd) {
  std::vector<Json> matches;
  auto folder = canonical_path(cwd.native());
  if (!folder) return matches;
  const auto folder_parts = components(*folder);
  std::size_t best_depth = 0;
  for (const Json& project : projects_list) {
    const std::string_view repo_path = field_view(project, "repoPath");
    if (repo_path.empty()) continue;
    auto repo = canonical_path(repo_path);
    if (!repo) continue;
    const auto repo_parts = components(*repo);
    if (!inside(folder_parts, repo_parts)) continue;
    if (repo_parts.size() > best_depth) {
      matches.clear();
      best_depth = repo_parts.size();
    }
    if (repo_parts.size() == best_depth) matches.push_back(project);
  }
  return matches;
}

Result<std::vector<Json>> projects(const std::optional<std::filesystem::path>& app_dir) {
  auto text = app_dir ? file_text::read(*app_dir / "projects.json", max_registry_bytes) : std::nullopt;
  if (!text) {
    return std::unexpected("Project registry unavailable. Open Veltrun Team and sync projects.");
  }
  auto value = json_text::parse(*text, max_registry_values);
  if (!value || !value->is_array()) return std::unexpected("Invalid project registry.");
  return std::move(value->get_ref<Json::array_t&>());
}

}  // namespace context
