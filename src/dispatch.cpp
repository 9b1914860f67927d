#include "dispatch.hpp"

#include "catalogue.hpp"

ToolOutcome call_tool(Session&, const Client&, std::string_view name, const Json&) {
  for (const Json& tool : tool_defs()) {
    if (tool.is_object() && tool.value("name", Json()).is_string() && tool["name"] == name) {
      return std::unexpected("The tool " + std::string(name) + " is not available yet in this server version.");
    }
  }
  return std::unexpected("Unknown tool: " + std::string(name));
}
