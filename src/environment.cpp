#include "environment.hpp"

#include <cstdlib>

#include "unicode_text.hpp"

namespace environment {

std::optional<std::string> get(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!unicode_text::valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace environment
