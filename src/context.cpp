#include "context.hpp"

#include <cctype>
#include <fstream>
#include <sstream>
#include <system_error>

#include "environment.hpp"
#include "unicode_text.hpp"

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
      {"title", "Vrei s\u0103 conectezi Veltrun \u00een aceast\u0103 sesiune pentru taskuri \u0219i documenta\u021bie?"},
      {"options", Json::array({
                      Json{{"label", "Conecteaz\u0103 Veltrun"}, {"action", "enable"}},
                      Json{{"label", "Continu\u0103 f\u0103r\u0103 Veltrun"}, {"action", "disable"}},
                  })},
  };
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(text).str();
}

std::optional<std::filesystem::path> canonical_path(const std::filesystem::path& path) {
  std::error_code error;
  auto result = std::filesystem::canonical(path, error);
  if (error) return std::nullopt;
  return result;
}

// Components of a canonical path; the root counts as one.
std::vector<std::filesystem::path> components(const std::filesystem::path& path) {
  return {path.begin(), path.end()};
}

bool inside(const std::vector<std::filesystem::path>& folder, const std::vector<std::filesystem::path>& repo) {
  if (repo.size() > folder.size()) return false;
  for (std::size_t i = 0; i < repo.size(); ++i) {
    if (folder[i] != repo[i]) return false;
  }
  return true;
}

}  // namespace

Session Session::from_env() {
  Session session;
  session.cwd = environment::get("VELTRUN_CWD");
  session.work_item = environment::get("VELTRUN_WORK_ITEM").value_or("");
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

std::string field(const Json& value, std::string_view key) {
  if (!value.is_object()) return "";
  auto it = value.find(key);
  if (it == value.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

std::vector<Json> candidates(const std::vector<Json>& projects_list, const std::filesystem::path& cwd) {
  std::vector<Json> matches;
  auto folder = canonical_path(cwd);
  if (!folder) return matches;
  const auto folder_parts = components(*folder);
  std::size_t best_depth = 0;
  for (const Json& project : projects_list) {
    const std::string repo_path = field(project, "repoPath");
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

Result<std::vector<Json>> projects(const std::filesystem::path& app_dir) {
  auto text = read_file(app_dir / "projects.json");
  if (!text || !unicode_text::valid_utf8(*text)) {
    return std::unexpected("Project registry unavailable. Open Veltrun Team and sync projects.");
  }
  auto value = json_text::parse(*text);
  if (!value || !value->is_array()) return std::unexpected("Invalid project registry.");
  return value->get<std::vector<Json>>();
}

}  // namespace context
