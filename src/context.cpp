#include "context.hpp"

#include <cctype>
#include <system_error>

#include "file_text.hpp"

namespace {

// Checked before the text becomes a path: making a path of it costs work in
// its length.
std::optional<std::filesystem::path> canonical_path(std::string_view text) {
  if (!context::nameable(text)) return std::nullopt;
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

}  // namespace

namespace context {

bool nameable(std::string_view path) {
  return path.size() <= context::max_path_bytes && path.find('\0') == std::string_view::npos;
}

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