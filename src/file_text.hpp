#pragma once
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace file_text {

// The whole file as UTF-8 text; nothing when it is not a regular file, cannot
// be read, holds more than max_bytes or is not UTF-8.
std::optional<std::string> read(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace file_text
