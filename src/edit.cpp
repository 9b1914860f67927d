#include "edit.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "context.hpp"
#include "unicode_text.hpp"

namespace edit {
namespace {

Json requiring(const char* name) { return Json{{"required", Json::array({name})}}; }

constexpr std::string_view edit_not_confirmed =
    "Edit is not confirmed. Do not retry automatically. Read the page and reconcile its current content/version "
    "first.";
// 2^53 - 2: the version after the edit must still be a safe integer.
constexpr std::uint64_t max_version = 9007199254740990;
constexpr std::array<std::string_view, 5> accepted_keys = {"body_markdown", "change_summary", "expected_version",
                                                           "page_id", "title"};

std::unexpected<std::string> failure(std::string_view text) { return std::unexpected(std::string(text)); }

std::unexpected<std::string> unconfirmed(std::string_view text) {
  return failure(std::string(text) + std::string(edit_not_confirmed));
}

using context::member;

using context::positive_integer;

bool version_equals(const Json* value, std::uint64_t version) { return positive_integer(value) == version; }

Result<std::uint64_t> expected_version(const Json& arguments) {
  const auto version = positive_integer(member(arguments, "expected_version"));
  if (version && *version <= max_version) return *version;
  return failure("expected_version must be a positive safe integer from get_doc_page.");
}

// The first key outside the schema; object keys iterate in byte order.
const std::string* unsupported_key(const Json& arguments) {
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    bool known = false;
    for (std::string_view accepted : accepted_keys) known = known || it.key() == accepted;
    if (!known) return &it.key();
  }
  return nullptr;
}

// Adds the optional text arguments, checked in the order title,
// body_markdown, change_summary.
Result<Json> with_texts(const Json& arguments, Json body) {
  for (std::string_view name : {"title", "body_markdown", "change_summary"}) {
    const Json* value = member(arguments, name);
    if (!value) continue;
    if (!value->is_string()) return failure(std::string(name) + " must be a string.");
    const std::string& text = value->get_ref<const std::string&>();
    if (name == "title") {
      const std::string_view title = unicode_text::trim(text);
      if (title.empty()) return failure("title must not be empty.");
      body["title"] = std::string(title);
    } else if (name == "body_markdown") {
      body["bodyMarkdown"] = text;
    } else {
      const std::string_view summary = unicode_text::trim(text);
      if (unicode_text::utf16_length(summary) > 500) return failure("change_summary must be at most 500 characters.");
      body["changeSummary"] = std::string(summary);
    }
  }
  if (!body.contains("title") && !body.contains("bodyMarkdown")) {
    return failure("Supply title and/or body_markdown to edit.");
  }
  return body;
}

Result<Json> edit_body(const Json& arguments, std::uint64_t version) {
  Json body = {{"authorType", "agent"}, {"changeSummary", "Updated via Veltrun MCP"}, {"expectedVersion", version}};
  return with_texts(arguments, std::move(body));
}

bool in_scope(const Json& page, std::string_view project_id, std::string_view page_id) {
  return context::field(page, "id") == page_id && context::field(page, "projectId") == project_id;
}

// Every text the edit sent must come back exactly as sent.
bool echoes(const Json& page, const Json& body) {
  for (std::string_view key : {"title", "bodyMarkdown"}) {
    const Json* sent = member(body, key);
    if (!sent) continue;
    const Json* echoed = member(page, key);
    if (!echoed || *echoed != *sent) return false;
  }
  return true;
}

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

ToolOutcome doc_page(const Client& client, std::string_view project_id, const Json& arguments) {
  if (!arguments.is_object()) return failure("Arguments must be an object.");
  if (const std::string* key = unsupported_key(arguments)) return failure("Unsupported argument: " + *key + ".");
  auto page_id = context::identifier(context::field(arguments, "page_id"));
  if (!page_id) return std::unexpected(page_id.error());
  auto version = expected_version(arguments);
  if (!version) return std::unexpected(version.error());
  auto body = edit_body(arguments, *version);
  if (!body) return std::unexpected(body.error());
  auto project = context::identifier(project_id);
  if (!project) return std::unexpected(project.error());
  const std::string path = "docs/projects/" + *project + "/pages/" + *page_id;

  auto read = client.request("GET", path, true);
  if (!read) return std::unexpected(read.error());
  const Json* current = member(*read, "page");
  if (!current) return failure("Invalid page response; no edit sent.");
  if (!in_scope(*current, *project, *page_id)) return failure("Page scope mismatch; no edit sent.");
  if (!version_equals(member(*current, "version"), *version)) {
    return failure(
        "Page version differs from expected_version; no edit sent. Read the page again and reconcile your changes; "
        "do not merely increment expected_version.");
  }

  auto written = client.request("PATCH", path, true, *body);
  if (!written) return unconfirmed(written.error() + " ");
  const Json* updated = member(*written, "page");
  if (!updated) return unconfirmed("Invalid edit response. ");
  if (!in_scope(*updated, *project, *page_id) || !version_equals(member(*updated, "version"), *version + 1) ||
      !echoes(*updated, *body)) {
    return unconfirmed("Mismatched edit response. ");
  }
  return json_text::pretty(Json{{"updated", *updated}});
}

}  // namespace edit
