#pragma once
#include <string_view>

#include "client.hpp"
#include "session.hpp"
#include "tool_outcome.hpp"

// Carries out one "tools/call": session tools, catalogue check, session gate,
// routing and framing.
ToolOutcome call_tool(Session& session, const Client& client, std::string_view name, const Json& arguments);
