#pragma once
// The names of the eighteen tools, spelled once for the catalogue, the
// dispatcher and the workflow guidance.
#include <string_view>

namespace tool_name {

inline constexpr std::string_view veltrun_login = "veltrun_login";
inline constexpr std::string_view veltrun_session = "veltrun_session";
inline constexpr std::string_view project_context = "project_context";
inline constexpr std::string_view list_doc_pages = "list_doc_pages";
inline constexpr std::string_view get_doc_page = "get_doc_page";
inline constexpr std::string_view get_work_item = "get_work_item";
inline constexpr std::string_view list_work_items = "list_work_items";
inline constexpr std::string_view post_comment = "post_comment";
inline constexpr std::string_view post_review = "post_review";
inline constexpr std::string_view resolve_finding = "resolve_finding";
inline constexpr std::string_view update_phase = "update_phase";
inline constexpr std::string_view create_work_item = "create_work_item";
inline constexpr std::string_view create_doc_page = "create_doc_page";
inline constexpr std::string_view update_doc_page = "update_doc_page";
inline constexpr std::string_view list_project_members = "list_project_members";
inline constexpr std::string_view board_summary = "board_summary";
inline constexpr std::string_view assign_work_item = "assign_work_item";
inline constexpr std::string_view work_item_time = "work_item_time";

}  // namespace tool_name
