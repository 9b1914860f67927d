#pragma once
#include <string_view>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace edit {

// update_doc_page.
Json definition();



}  // namespace edit
