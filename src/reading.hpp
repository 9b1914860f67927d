#pragma once
// The read-only board listing and Docs reading tools.
#include <string_view>

#include "client.hpp"
#include "tool_outcome.hpp"
#include "tracking.hpp"

namespace reading {

// The board's work items with their comments, optionally of one phase.
ToolOutcome list_work_items(const Client& client, std::string_view project_id, std::string_view board_id,
                            const Json& arguments);

// A briefing: board summary, work items grouped by phase, the project's pages.
ToolOutcome project_context(const Client& client, std::string_view project_id, std::string_view board_id,
                            const Json& board, const tracking::WallClock& now);

ToolOutcome list_doc_pages(const Client& client, std::string_view project_id);

// One page with its body, found by id, exact title or a unique title fragment.
ToolOutcome get_doc_page(const Client& client, std::string_view project_id, const Json& arguments);

}  // namespace reading
