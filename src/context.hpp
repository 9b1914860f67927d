#pragma once
// The session record, its status object, the workspace/registry rules and
// the two record rules every module shares.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_text.hpp"

struct Session {
  std::string source;              // "", "session selection", "VELTRUN_PROJECT", "workspace folder"
  std::string work_item;           // bound work-item reference, "" when none
  std::optional<std::string> cwd;  // workspace folder, kept as given
  std::optional<Json> project;     // selected project record
  std::optional<Json> board;       // selected board record
  bool disabled = false;
  bool opted_in = false;

  // Reads VELTRUN_CWD and VELTRUN_WORK_ITEM.
  static Session from_env();

  // The session status object for a state word; never fails.
  Json status(std::string_view state, std::vector<Json> projects) const;

  // Session actions, workspace folder, consent gate and project choice.
  // Without a project list this is the first phase of a resolution.
  Result<Json> local_context(const Json& arguments, std::optional<std::vector<Json>> projects);
};

namespace context {

inline constexpr std::string_view invalid_identifier = "Invalid identifier.";

// A non-empty text of ASCII letters, digits, "-" and "_".
Result<std::string> identifier(std::string_view text);

// The member under key, or nullptr when value is no object or lacks it.
const Json* member(const Json& value, std::string_view key);

// The string member under key, or "" when absent, not a string, or the value
// is not an object.
std::string field(const Json& value, std::string_view key);

// The same text as field, without a copy; valid as long as value is.
std::string_view field_view(const Json& value, std::string_view key);

// A JSON integer above zero, written without fraction or exponent (the parser
// reads 5.0 and 1e3 as floats); nothing for any other value or for nullptr.
std::optional<std::uint64_t> positive_integer(const Json* value);

// Whether the record's "id" member is a string equal to id (never for an
// absent or non-string "id", even when id is empty).
bool has_id(const Json& record, std::string_view id);

// The first record that has_id, or nullptr.
const Json* first_with_id(const std::vector<Json>& records, std::string_view id);

// The projects whose canonical repository path holds the canonical workspace
// folder, deepest matches only, in list order.
std::vector<Json> candidates(const std::vector<Json>& projects, const std::filesystem::path& cwd);

// The elements of the project registry "projects.json" in app_dir.
Result<std::vector<Json>> projects(const std::filesystem::path& app_dir);

}  // namespace context
