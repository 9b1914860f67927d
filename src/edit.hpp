#pragma once
#include <string_view>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace edit {

// update_doc_page.
Json definition();

ToolOutcome doc_page(const Client& client, std::string_view project_id, const Json& arguments);

}  // namespace edit
