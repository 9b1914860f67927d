#pragma once
// Every tool, one row each in catalogue order: its name, definition, handler
// and guidance. A new tool is one row in the table plus its module.
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "client.hpp"
#include "session.hpp"
#include "team_core/json_text.hpp"
#include "tool_outcome.hpp"

namespace tool_table {

// What a gated tool may use once the session is ready.
struct Call {
  const Session& session;
  const Client& client;
  const Json& arguments;
  const Json& board;  // the session's selected board object
  std::string project_id;
  std::string board_id;
};

// The two session tools: they run in any state and may change the session.
using SessionHandler = ToolOutcome (*)(Session& session, const Client& client, const Json& arguments);
// Every other tool: runs only once the session gate finds it ready.
using GatedHandler = ToolOutcome (*)(const Call& call);

struct Row {
  std::string_view name;
  Json (*definition)(std::string_view name);
  std::variant<SessionHandler, GatedHandler> handler;
  std::string_view guidance = {};  // framed after a gated tool's result
  // A call that reads less, offered when this tool's result does not fit in
  // a reply or memory runs out; never the same call again.
  std::string_view narrower = {};
};

std::span<const Row> rows();

// The row of exactly that name, or the unknown-tool error.
Result<const Row*> row(std::string_view name);

}  // namespace tool_table

// The eighteen tool definitions in catalogue order, built anew by each call;
// the server builds them once, through tool_catalogue.
Json tool_defs();

// The same tools, built once per process and never changed afterwards.
const Json& tool_catalogue();

// The compact text of the "tools/list" result, {"tools":[...]}, printed once.
const std::string& printed_tools_result();
