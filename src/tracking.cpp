#include "tracking.hpp"

#include <string_view>
#include <utility>

namespace tracking {
namespace {

Json tool(std::string_view name, std::string_view description, Json properties) {
  return Json{{"description", description},
              {"inputSchema", {{"properties", std::move(properties)}, {"type", "object"}}},
              {"name", name}};
}

Json plain_text() { return Json{{"type", "string"}}; }

Json assign_definition() {
  Json definition = tool("assign_work_item",
                         "Assign an item to an eligible project member, or clear its assignee with null. Changes "
                         "only assignment; does not transfer claims, ownership, phase or notify by email. Explicit "
                         "user assignment request required.",
                         {{"reference", plain_text()},
                          {"assignee_user_id",
                           {{"description", "Exact userId from list_project_members, or null to unassign."},
                            {"type", Json::array({"string", "null"})}}},
                          {"reason", plain_text()}});
  definition["inputSchema"]["required"] = Json::array({"assignee_user_id"});
  return definition;
}

}  // namespace

std::vector<Json> definitions() {
  return {
      tool("list_project_members",
           "Read eligible active project members and authenticated currentUserId. Use exact IDs for assignment; "
           "never guess from a token.",
           Json::object()),
      tool("board_summary",
           "Count open stories and all open work items on the selected board, and the subsets assigned to the "
           "authenticated user. Read-only; errors never mean zero.",
           Json::object()),
      assign_definition(),
      tool("work_item_time",
           "Read cumulative calendar duration in each canonical phase, including reentries. Not active work or "
           "billable time. Current closed phase stops accumulating; incomplete history is labeled. Custom columns "
           "are grouped by canonical phase.",
           {{"reference", plain_text()}}),
  };
}

}  // namespace tracking
