#include "create.hpp"

#include <utility>

namespace create {
namespace {

Json nonempty_text() { return Json{{"minLength", 1}, {"type", "string"}}; }

Json work_item_definition() {
  Json properties = {
      {"title", nonempty_text()},
      {"description", {{"description", "Requirement/specification text; Markdown supported."}, {"type", "string"}}},
      {"type",
       {{"default", "task"},
        {"enum",
         Json::array({"epic", "story", "feature", "bug", "task", "research", "architecture", "runbook", "spike"})},
        {"type", "string"}}},
      {"priority", {{"default", "P2"}, {"enum", Json::array({"P0", "P1", "P2", "P3", "P4"})}, {"type", "string"}}},
      {"labels", {{"items", nonempty_text()}, {"type", "array"}}},
  };
  return Json{
      {"description",
       "Create a work item in Inbox on this session's resolved project and board. Requires a ready session. Use "
       "when the user asks to create/save a task, not merely to discuss one. Returns the created key and ID. Never "
       "retry a failed or uncertain write automatically; check for an existing result first."},
      {"inputSchema",
       {{"additionalProperties", false},
        {"properties", std::move(properties)},
        {"required", Json::array({"title"})},
        {"type", "object"}}},
      {"name", "create_work_item"},
  };
}

Json doc_page_definition() {
  Json properties = {
      {"title", nonempty_text()},
      {"body_markdown", {{"description", "Full Markdown content of the new draft."}, {"type", "string"}}},
  };
  return Json{
      {"description",
       "Create a root draft document, attributed to the agent, in the resolved project's SERVER-DEFAULT Docs "
       "space. The current backend cannot select another space or parent through this tool. If the user requests "
       "another destination, explain the limitation instead of silently using default. Requires a ready session "
       "and a user request to save/create a page. Returns its ID and actual spaceId. Never retry a failed or "
       "uncertain write automatically; check existing pages first."},
      {"inputSchema",
       {{"additionalProperties", false},
        {"properties", std::move(properties)},
        {"required", Json::array({"title", "body_markdown"})},
        {"type", "object"}}},
      {"name", "create_doc_page"},
  };
}

}  // namespace

std::vector<Json> definitions() { return {work_item_definition(), doc_page_definition()}; }

}  // namespace create
