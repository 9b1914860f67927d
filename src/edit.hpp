#pragma once
// Editing a Docs page under an optimistic version check.
#include <string_view>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace edit {

// The tool, under the name its row gives it.
Json definition(std::string_view name);

// Reads the page, checks scope and version, sends the edit and verifies the
// echoed page.
ToolOutcome doc_page(const Client& client, std::string_view project_id, const Json& arguments);

}  // namespace edit
