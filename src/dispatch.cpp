#include "dispatch.hpp"

#include <array>
#include <string>

#include "catalogue.hpp"
#include "context.hpp"
#include "create.hpp"
#include "edit.hpp"
#include "item_reference.hpp"
#include "reading.hpp"
#include "session.hpp"
#include "time_text.hpp"
#include "tool_names.hpp"
#include "tracking.hpp"
#include "work_items.hpp"
#include "workflow.hpp"

namespace {

// What a gated tool may use once the session is ready.
struct Call {
  const Session& session;
  const Client& client;
  std::string_view name;
  const Json& arguments;
  const Json& board;  // the session's selected board object
  std::string project_id;
  std::string board_id;
};

struct SelectedItem {
  Json item;
  std::string path;
};

ToolOutcome compact(const Result<Json>& value) {
  if (!value) return std::unexpected(value.error());
  return printed_compact(*value);
}

bool in_catalogue(std::string_view name) {
  const Json& tools = tool_catalogue();
  if (!tools.is_array()) return false;
  for (const Json& tool : tools) {
    if (context::field(tool, "name") == name) return true;
  }
  return false;
}

ToolOutcome sign_in(const Session& session, const Client& client, const Json& arguments) {
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

// The chosen item as listed; runs before any of the tool's own arguments is
// looked at. Only the matches of the reference outlive their page.
Result<Json> chosen_item(const Call& call, std::string_view include) {
  Choice choice(item_reference(call), {"id", "key", "reference"});
  auto listed = call.client.each_item_page(call.project_id, call.board_id, include,
                                           [&](std::vector<Json>& page, std::size_t) -> Result<void> {
                                             choice.consider(page);
                                             return {};
                                           });
  if (!listed) return std::unexpected(listed.error());
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
  const std::int64_t now_ms = time_text::epoch_milliseconds(std::chrono::system_clock::now());
  return compact(tracking::time(*chosen, call.board, now_ms));
}

ToolOutcome board_summary(const Call& call) {
  tracking::BoardCount count(call.board);
  auto listed = call.client.each_item_page(call.project_id, call.board_id, "",
                                           [&](std::vector<Json>& page, std::size_t) -> Result<void> {
                                             for (const Json& item : page) count.add(item);
                                             return {};
                                           });
  if (!listed) return std::unexpected(listed.error());
  return compact(count.summary(call.client, call.project_id));
}

ToolOutcome list_project_members(const Call& call) {
  return compact(tracking::directory(call.client, call.project_id));
}

ToolOutcome list_work_items(const Call& call) {
  return reading::list_work_items(call.client, call.project_id, call.board_id, call.arguments);
}

ToolOutcome project_context(const Call& call) {
  return reading::project_context(call.client, call.project_id, call.board_id, call.board);
}

ToolOutcome list_doc_pages(const Call& call) { return reading::list_doc_pages(call.client, call.project_id); }

ToolOutcome get_doc_page(const Call& call) {
  return reading::get_doc_page(call.client, call.project_id, call.arguments);
}

ToolOutcome create_work_item(const Call& call) {
  return create::work_item(call.client, call.project_id, call.board_id, call.arguments);
}

ToolOutcome create_doc_page(const Call& call) { return create::doc_page(call.client, call.project_id, call.arguments); }

ToolOutcome update_doc_page(const Call& call) { return edit::doc_page(call.client, call.project_id, call.arguments); }

struct Route {
  std::string_view name;
  ToolOutcome (*handler)(const Call&);
};

// Every gated tool, in catalogue order, and its handler.
constexpr auto routes = std::to_array<Route>({
    {tool_name::project_context, project_context},
    {tool_name::list_doc_pages, list_doc_pages},
    {tool_name::get_doc_page, get_doc_page},
    {tool_name::get_work_item, on_work_item<work_items::get>},
    {tool_name::list_work_items, list_work_items},
    {tool_name::post_comment, on_work_item<work_items::post_comment>},
    {tool_name::post_review, on_work_item<work_items::post_review>},
    {tool_name::resolve_finding, on_work_item<work_items::resolve_finding>},
    {tool_name::update_phase, on_work_item<work_items::update_phase>},
    {tool_name::create_work_item, create_work_item},
    {tool_name::create_doc_page, create_doc_page},
    {tool_name::update_doc_page, update_doc_page},
    {tool_name::list_project_members, list_project_members},
    {tool_name::board_summary, board_summary},
    {tool_name::assign_work_item, assign_work_item},
    {tool_name::work_item_time, work_item_time},
});

ToolOutcome route(const Call& call) {
  for (const auto& [name, handler] : routes) {
    if (name == call.name) return handler(call);
  }
  return std::unexpected("Unknown tool: " + std::string(call.name));
}

std::string context_header(const Json& project, const Json& board, const std::string& source) {
  return "Project: " + context::field(project, "name") + " (" + context::field(project, "id") +
         ")\nBoard: " + context::field(board, "name") + " (" + context::field(board, "id") +
         ")\nResolved by: " + source + "\n";
}

std::string framed(const std::string& header, const std::string& text, std::string_view guidance) {
  if (guidance.empty()) return header + "\n" + text;
  return header + "\n" + text + "\n\nWorkflow guidance: " + std::string(guidance);
}

}  // namespace

ToolOutcome call_tool(Session& session, const Client& client, std::string_view name, const Json& arguments) {
  const Client::CallBudget budget = client.budget_call();
  if (name == tool_name::veltrun_session) return compact(session_context(session, client, arguments));
  if (name == tool_name::veltrun_login) return sign_in(session, client, arguments);
  if (!in_catalogue(name)) return std::unexpected("Unknown tool: " + std::string(name));

  auto gate = session_context(session, client, Json{{"action", "status"}});
  if (!gate) return std::unexpected(gate.error());
  if (context::field(*gate, "status") != "ready") return compact(*gate);
  if (!session.project || !session.board) {
    return std::unexpected("The session has no project and board yet. Call veltrun_session(action=status).");
  }

  const Json& project = *session.project;
  const Json& board = *session.board;
  const std::string header = context_header(project, board, session.source);
  const Call call{session, client, name, arguments, board, context::field(project, "id"), context::field(board, "id")};
  auto outcome = route(call);
  if (!outcome) return outcome;
  return framed(header, *outcome, workflow::next_step(name));
}
