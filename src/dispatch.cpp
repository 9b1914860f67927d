#include "dispatch.hpp"

#include <string>
#include <variant>

#include "context.hpp"
#include "session.hpp"
#include "tool_table.hpp"

namespace {

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
  auto row = tool_table::row(name);
  if (!row) return std::unexpected(row.error());
  const tool_table::Row& tool = **row;
  if (const auto* session_tool = std::get_if<tool_table::SessionHandler>(&tool.handler)) {
    return (*session_tool)(session, client, arguments);
  }

  auto gate = session_context(session, client, Json{{"action", "status"}});
  if (!gate) return std::unexpected(gate.error());
  if (context::field(*gate, "status") != "ready") return printed_compact(*gate);
  if (!session.project || !session.board) {
    return std::unexpected("The session has no project and board yet. Call veltrun_session(action=status).");
  }

  const Json& project = *session.project;
  const Json& board = *session.board;
  const std::string header = context_header(project, board, session.source);
  const tool_table::Call call{
      session, client, arguments, board, context::field(project, "id"), context::field(board, "id")};
  ToolOutcome outcome = std::get<tool_table::GatedHandler>(tool.handler)(call);
  if (outcome) *outcome = framed(header, *outcome, tool.guidance);
  return outcome;
}
