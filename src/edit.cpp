#include "edit.hpp"

#include <utility>

namespace edit {
namespace {

Json requiring(const char* name) { return Json{{"required", Json::array({name})}}; }

}  // namespace

Json definition() {
  Json properties = {
      {"body_markdown",
       {{"description",
         "Full replacement Markdown; omit to retain the current body. Empty string intentionally clears it."},
        {"type", "string"}}},
      {"change_summary", {{"maxLength", 500}, {"type", "string"}}},
      {"expected_version", {{"maximum", 9007199254740990}, {"minimum", 1}, {"type", "integer"}}},
      {"page_id", {{"minLength", 1}, {"type", "string"}}},
      {"title", {{"minLength", 1}, {"type", "string"}}},
  };
  return Json{
      {"description",
       "Edit an existing Docs page's title and/or full Markdown body in this session's resolved project. First "
       "read get_doc_page and use its exact ID and version as expected_version. Only supplied fields change; "
       "authorType is agent. Keeps status, parent, space and links unchanged (edits to a published page remain "
       "published). Requires the user's request to edit. On conflict or uncertain result, read and reconcile; "
       "never automatically retry with a newer version."},
      {"inputSchema",
       {{"additionalProperties", false},
        {"anyOf", Json::array({requiring("title"), requiring("body_markdown")})},
        {"properties", std::move(properties)},
        {"required", Json::array({"page_id", "expected_version"})},
        {"type", "object"}}},
      {"name", "update_doc_page"},
  };
}

}  // namespace edit
