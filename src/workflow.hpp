#pragma once
#include <string_view>

namespace workflow {

// The fixed guidance appended to a tool's framed result; "" for tools without one.
std::string_view next_step(std::string_view tool);

}  // namespace workflow
