#include "tool_table.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue.hpp"
#include "context.hpp"
#include "create.hpp"
#include "edit.hpp"
#include "item_reference.hpp"
#include "reading.hpp"
#include "session.hpp"
#include "time_text.hpp"
#include "tracking.hpp"
#include "work_items.hpp"
#include "workflow.hpp"

namespace tool_table {
namespace {

struct SelectedItem {
  Json item;
  std::string path;
};

ToolOutcome compact(const Result<Json>& value) {
  if (!value) return std::unexpected(value.error());
  return printed_compact(*value);
}

ToolOutcome session_tool(Session& session, const Client& client, const Json& arguments) {
  return compact(session_context(session, client, arguments));
}

ToolOutcome sign_in(Session& session, const Client& client, const Json& arguments) {
  if (session.disabled) return compact(session.status("disabled", {}));
  if (!session.opted_in) return compact(session.status("needs_opt_in", {}));
  return compact(client.login(context::field(arguments, "action")));
}

// A "reference" argument that is not a non-empty string falls back to the
// session's bound work item.
std::string item_reference(const Call& call) {
  const std::string_view given = context::field_view(call.arguments, "reference");
  return given.empty() ? call.session.work_item : std::string(given);
}

// The listing's error, unless this server's own bounds (the call's time, a
// listing's size) ended the walk once the pages read had decided the
// outcome: the service did not end it, so what they decided stands.
std::string walk_error(const Client& client, const std::string& listed, const std::optional<std::string>& decided) {
  const bool cut_short = client.call_spent() || listed == client_http::list_too_large();
  return decided && cut_short ? *decided : listed;
}

// The chosen item as listed; runs before any of the tool's own arguments is
// looked at. Only the matches of the reference outlive their page.
Result<Json> chosen_item(const Call& call, std::string_view include) {
  Choice choice(item_reference(call), {"id", "key", "reference"});
  auto listed =
      call.client.each_item_page(call.project_id, call.board_id, include, [&](std::vector<Json>& page) -> Result<void> {
        choice.consider(page);
        return {};
      });
  if (!listed) return std::unexpected(walk_error(call.client, listed.error(), choice.error()));
  return std::move(choice).take();
}

Result<SelectedItem> select_work_item(const Call& call, std::string_view include) {
  auto chosen = chosen_item(call, include);
  if (!chosen) return std::unexpected(chosen.error());
  auto id = context::identifier(context::field(*chosen, "id"));
  if (!id) return std::unexpected(id.error());
  return SelectedItem{std::move(*chosen), "board/projects/" + call.project_id + "/work-items/" + *id};
}

using WorkItemTool = ToolOutcome (*)(const Client&, const work_items::Target&, const Json&);

template <WorkItemTool tool>
ToolOutcome on_work_item(const Call& call) {
  auto selected = select_work_item(call, "comments");
  if (!selected) return std::unexpected(selected.error());
  return tool(call.client, {selected->item, selected->path}, call.arguments);
}

ToolOutcome assign_work_item(const Call& call) {
  auto selected = select_work_item(call, "comments");
  if (!selected) return std::unexpected(selected.error());
  return tracking::assign(call.client, call.project_id, call.board_id, selected->item, call.arguments);
}

// The report never puts the item's id into a path, so it is not checked.
ToolOutcome work_item_time(const Call& call) {
  auto chosen = chosen_item(call, "events");
  if (!chosen) return std::unexpected(chosen.error());
  const ClientHooks::WallClock& now = call.client.wall_clock();
  return compact(tracking::time(*chosen, call.board, time_text::epoch_milliseconds(now())));
}

ToolOutcome board_summary(const Call& call) {
  tracking::BoardCount count(call.board);
  auto listed =
      call.client.each_item_page(call.project_id, call.board_id, "", [&](std::vector<Json>& page) -> Result<void> {
        for (const Json& item : page) count.add(item);
        return {};
      });
  if (!listed) return std::unexpected(walk_error(call.client, listed.error(), count.error()));
  return compact(count.summary(call.client, call.project_id, call.client.wall_clock()));
}

// The narrower calls offered when a result does not fit.
constexpr std::string_view board_by_phase =
    "List one phase at a time with list_work_items and its phase argument, or read the board's counts with "
    "board_summary.";
constexpr std::string_view listing_by_phase =
    "List one phase at a time with the phase argument, read one work item with get_work_item, or the board's "
    "counts with board_summary.";
constexpr std::string_view one_page = "Read one page by its ID or title with get_doc_page.";

constexpr auto table = std::to_array<Row>({
    {"veltrun_login", catalogue::veltrun_login, sign_in},
    {"veltrun_session", catalogue::veltrun_session, session_tool},
    {"project_context",
     catalogue::project_context,
     [](const Call& call) {
       return reading::project_context(call.client, call.project_id, call.board_id, call.board,
                                       call.client.wall_clock());
     },
     {},
     board_by_phase},
    {"list_doc_pages",
     catalogue::list_doc_pages,
     [](const Call& call) { return reading::list_doc_pages(call.client, call.project_id); },
     {},
     one_page},
    {"get_doc_page", catalogue::get_doc_page,
     [](const Call& call) { return reading::get_doc_page(call.client, call.project_id, call.arguments); },
     workflow::edit_page},
    {"get_work_item", catalogue::get_work_item, on_work_item<work_items::get>, workflow::read_item},
    {"list_work_items",
     catalogue::list_work_items,
     [](const Call& call) {
       return reading::list_work_items(call.client, call.project_id, call.board_id, call.arguments);
     },
     {},
     listing_by_phase},
    {"post_comment", catalogue::post_comment, on_work_item<work_items::post_comment>, workflow::records_outcome},
    {"post_review", catalogue::post_review, on_work_item<work_items::post_review>, workflow::records_outcome},
    {"resolve_finding", catalogue::resolve_finding, on_work_item<work_items::resolve_finding>, workflow::close_finding},
    {"update_phase", catalogue::update_phase, on_work_item<work_items::update_phase>, workflow::change_phase},
    {"create_work_item", create::work_item_definition,
     [](const Call& call) { return create::work_item(call.client, call.project_id, call.board_id, call.arguments); },
     workflow::keep_item},
    {"create_doc_page", create::doc_page_definition,
     [](const Call& call) { return create::doc_page(call.client, call.project_id, call.arguments); },
     workflow::keep_page},
    {"update_doc_page", edit::definition,
     [](const Call& call) { return edit::doc_page(call.client, call.project_id, call.arguments); },
     workflow::keep_page},
    {"list_project_members", tracking::directory_definition,
     [](const Call& call) { return compact(tracking::directory(call.client, call.project_id)); }},
    {"board_summary", tracking::summary_definition, board_summary},
    {"assign_work_item", tracking::assign_definition, assign_work_item},
    {"work_item_time", tracking::time_definition, work_item_time},
});

// A name is the key of one row.
constexpr bool names_unique() {
  for (std::size_t i = 0; i < table.size(); ++i) {
    for (std::size_t j = i + 1; j < table.size(); ++j) {
      if (table[i].name == table[j].name) return false;
    }
  }
  return true;
}
static_assert(names_unique());

}  // namespace

std::span<const Row> rows() { return table; }

Result<const Row*> row(std::string_view name) {
  for (const Row& candidate : table) {
    if (candidate.name == name) return &candidate;
  }
  return std::unexpected("Unknown tool: " + std::string(name));
}

}  // namespace tool_table

Json tool_defs() {
  Json tools = Json::array();
  for (const tool_table::Row& row : tool_table::rows()) tools.push_back(row.definition(row.name));
  return tools;
}

// A constant computed on first use: every tools/list would otherwise build
// and print the same eighteen definitions again.
const Json& tool_catalogue() {
  static const Json tools = tool_defs();
  return tools;
}

const std::string& printed_tools_result() {
  static const std::string text = json_text::compact(Json{{"tools", tool_catalogue()}});
  return text;
}
