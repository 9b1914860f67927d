#include "file_text.hpp"

#include <fstream>
#include <sstream>

#include "unicode_text.hpp"

namespace file_text {

std::optional<std::string> read(const std::filesystem::path& path) {
  // Only a regular file holds text: a directory opens but reads as nothing,
  // a named pipe would block the open until some writer came, and a device
  // such as /dev/zero never ends.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
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
