#pragma once
// The record rules every module shares and the workspace/registry rules.
// The session record itself is in session.hpp, out of the tool modules'
// sight.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "team_core/json_text.hpp"

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

// A JSON integer of zero or more, written without sign, fraction or exponent
// (the parser reads 5.0 and 1e3 as floats, -0 as a signed zero); nothing for
// any other value or for nullptr.
std::optional<std::uint64_t> whole_number(const Json* value);

// The same, above zero only.
std::optional<std::uint64_t> positive_integer(const Json* value);

// Whether the record's "id", read as field reads it, equals id, so a record
// without a string "id" matches "": the session's still-listed checks compare
// two such readings. Every other caller passes a non-empty id.
bool has_id(const Json& record, std::string_view id);

// The first record that has_id, or nullptr.
const Json* first_with_id(const std::vector<Json>& records, std::string_view id);

// The longest path a system call takes, PATH_MAX less its closing NUL: the
// kernel refuses a longer one, so it names no folder and is never made
// canonical, neither as a workspace folder nor as a repository path.
inline constexpr std::size_t max_path_bytes = PATH_MAX - 1;

// Whether the system can name the path. It sees a path only up to its first
// NUL, so such a text names something other than what it says; one past
// max_path_bytes names nothing.
bool nameable(std::string_view path);

// The projects whose canonical repository path holds the canonical workspace
// folder, deepest matches only, in list order.
std::vector<Json> candidates(const std::vector<Json>& projects, const std::filesystem::path& cwd);

// The project registry's bounds. An entry is an id, a repository path and a
// few members, a few hundred bytes: 4 MiB holds over ten thousand projects,
// more than one computer has checked out, and is read in milliseconds on
// every session resolution. A larger file counts as unreadable.
inline constexpr std::size_t max_registry_bytes = std::size_t{4} << 20;
// Ten values an entry for 20,000 entries; a 4 MiB array of bare numbers
// would otherwise parse into two million values.
inline constexpr std::size_t max_registry_values = 200'000;

// The elements of the project registry "projects.json" in app_dir; without an
// app directory there is no registry.
Result<std::vector<Json>> projects(const std::optional<std::filesystem::path>& app_dir);

}  // namespace context
