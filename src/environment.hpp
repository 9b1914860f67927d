#pragma once
#include <optional>
#include <string>

namespace environment {

// The variable's value when it is set and valid UTF-8; otherwise nothing.
std::optional<std::string> get(const char* name);

}  // namespace environment
