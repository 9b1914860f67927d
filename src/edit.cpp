#include "edit.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "context.hpp"
#include "tool_schema.hpp"
#include "unicode_text.hpp"

namespace edit {
namespace {

constexpr std::string_view edit_unknown_outcome =
    "Edit is not confirmed. Do not retry automatically. Read the page and reconcile its current content/version "
    "first.";
// Published as the maximum. 2^53 - 2: the version after the edit must still
// be a safe integer.
constexpr std::uint64_t max_version = 9007199254740990;
// Published as maxLength; the check counts the trimmed text in UTF-16 units.
constexpr std::size_t max_summary_length = 500;
constexpr std::array<std::string_view, 5> accepted_keys = {"body_markdown", "change_summary", "expected_version",
                                                           "page_id", "title"};

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
    if (!one_of(it.key(), accepted_keys)) return &it.key();
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
      if (unicode_text::utf16_length(summary) > max_summary_length) {
        return failure("change_summary must be at most " + std::to_string(max_summary_length) + " characters.");
      }
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

Json definition(std::string_view name) {
  return tool_schema::tool(
      name,
      "Edit an existing Docs page's title and/or full Markdown body in this session's resolved project. First read "
      "get_doc_page and use its exact ID and version as expected_version. Only supplied fields change; authorType "
      "is agent. Keeps status, parent, space and links unchanged (edits to a published page remain published). "
      "Requires the user's request to edit. On conflict or uncertain result, read and reconcile; never "
      "automatically retry with a newer version.",
      {.properties = {{"body_markdown",
                       tool_schema::text("Full replacement Markdown; omit to retain the current body. Empty string "
                                         "intentionally clears it.")},
                      {"change_summary", {{"maxLength", max_summary_length}, {"type", "string"}}},
                      {"expected_version", {{"maximum", max_version}, {"minimum", 1}, {"type", "integer"}}},
                      {"page_id", tool_schema::nonempty_text()},
                      {"title", tool_schema::nonempty_text()}},
       .required = {"page_id", "expected_version"},
       .closed = true,
       .any_of = {"title", "body_markdown"}});
}

namespace {

// The edit's text from the answer to its request.
ToolOutcome edited(const Result<Json>& written, const std::string& project, const std::string& page_id,
                   std::uint64_t version, const Json& body) {
  if (!written) return unknown_outcome(written.error(), edit_unknown_outcome);
  const Json* updated = member(*written, "page");
  if (!updated) return unknown_outcome("Invalid edit response.", edit_unknown_outcome);
  if (!in_scope(*updated, project, page_id) || !version_equals(member(*updated, "version"), version + 1) ||
      !echoes(*updated, body)) {
    return unknown_outcome("Mismatched edit response.", edit_unknown_outcome);
  }
  return printed_pretty(Json{{"updated", *updated}});
}

}  // namespace

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

  // Once sent, the edit may have been made whatever its answer says.
  ToolOutcome outcome = edited(client.request("PATCH", path, true, *body), *project, *page_id, *version, *body);
  outcome.written = edit_unknown_outcome;
  return outcome;
}

}  // namespace edit
