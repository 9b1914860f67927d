#pragma once
#include <string_view>
#include <vector>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace create {

// create_work_item, then create_doc_page.
std::vector<Json> definitions();





}  // namespace create
