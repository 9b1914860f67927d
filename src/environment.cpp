#include "environment.hpp"

#include "unicode_text.hpp"

namespace environment {
namespace {

std::optional<std::string> variable(const Lookup& lookup, const char* name) {
  const char* value = lookup(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!unicode_text::valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace

Environment read(const Lookup& lookup) {
  return Environment{
      .home = variable(lookup, "HOME"),
      .cwd = variable(lookup, "VELTRUN_CWD"),
      .work_item = variable(lookup, "VELTRUN_WORK_ITEM").value_or(""),
      .project = variable(lookup, "VELTRUN_PROJECT").value_or(""),
      .board = variable(lookup, "VELTRUN_BOARD").value_or(""),
  };
}

}  // namespace environment
