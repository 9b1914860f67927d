#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace team_core::api {

// The "sub" claim of a JSON Web Token's payload, read without verification.
std::optional<std::string> token_subject(std::string_view token);

// Unpadded base64url (RFC 4648 section 5), strict: "=", foreign characters,
// a length that leaves one character over and non-zero unused bits are
// all refused.
std::optional<std::string> base64url_decode(std::string_view text);

}  // namespace team_core::api
