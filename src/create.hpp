#pragma once
#include <string_view>
#include <vector>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace create {

// create_work_item, then create_doc_page.
std::vector<Json> definitions();

ToolOutcome work_item(const Client& client, std::string_view project_id, std::string_view board_id,
                      const Json& arguments);
ToolOutcome doc_page(const Client& client, std::string_view project_id, const Json& arguments);

}  // namespace create
