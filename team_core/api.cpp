#include "team_core/api.hpp"

namespace team_core::api {
std::optional<std::string> token_subject(std::string_view) { return std::nullopt; }
}  // namespace team_core::api
