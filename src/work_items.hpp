#pragma once
// The tools that act on one work item the dispatcher has already selected.
#include <string>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace work_items {

// The selected item as listed (with its comments) and its path
// "board/projects/{project}/work-items/{id}".
struct Target {
  const Json& item;
  const std::string& path;
};

ToolOutcome get(const Client& client, const Target& target, const Json& arguments);
ToolOutcome post_comment(const Client& client, const Target& target, const Json& arguments);
ToolOutcome post_review(const Client& client, const Target& target, const Json& arguments);
ToolOutcome resolve_finding(const Client& client, const Target& target, const Json& arguments);
ToolOutcome update_phase(const Client& client, const Target& target, const Json& arguments);

}  // namespace work_items
