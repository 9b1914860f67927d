#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace team_core::api {

// The "sub" claim of a JSON Web Token's payload, read without verification.
std::optional<std::string> token_subject(std::string_view token);

}  // namespace team_core::api
