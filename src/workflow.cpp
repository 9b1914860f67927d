#include "workflow.hpp"

#include "tool_table.hpp"

namespace workflow {

std::string_view next_step(std::string_view tool) {
  auto row = tool_table::row(tool);
  return row ? (*row)->guidance : "";
}

}  // namespace workflow
