#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace file_text {

// The whole file as UTF-8 text; nothing when it cannot be read or is not UTF-8.
std::optional<std::string> read(const std::filesystem::path& path);

}  // namespace file_text
