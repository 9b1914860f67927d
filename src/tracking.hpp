#pragma once
#include <vector>

#include "json_text.hpp"

namespace tracking {

// list_project_members, board_summary, assign_work_item, work_item_time.
std::vector<Json> definitions();

}  // namespace tracking
