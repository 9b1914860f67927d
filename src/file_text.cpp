#include "file_text.hpp"

#include <fstream>
#include <sstream>

#include "unicode_text.hpp"

namespace file_text {

std::optional<std::string> read(const std::filesystem::path& path) {
  // A directory opens like a file but reads as nothing.
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  std::string whole = std::move(text).str();
  if (!unicode_text::valid_utf8(whole)) return std::nullopt;
  return whole;
}

}  // namespace file_text
