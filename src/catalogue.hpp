#pragma once
#include <string>
#include <string_view>

#include "team_core/json_text.hpp"

// The session, reading and work-item tools, each under the name its row in
// the tool table gives it.
namespace catalogue {

Json veltrun_login(std::string_view name);
Json veltrun_session(std::string_view name);
Json project_context(std::string_view name);
Json list_doc_pages(std::string_view name);
Json get_doc_page(std::string_view name);
Json get_work_item(std::string_view name);
Json list_work_items(std::string_view name);
Json post_comment(std::string_view name);
Json post_review(std::string_view name);
Json resolve_finding(std::string_view name);
Json update_phase(std::string_view name);

}  // namespace catalogue
