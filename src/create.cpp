#include "create.hpp"

#include <array>
#include <span>
#include <utility>

#include "context.hpp"
#include "tool_schema.hpp"
#include "unicode_text.hpp"

namespace create {
namespace {

constexpr std::string_view creation_unknown_outcome =
    "Creation is not confirmed. Do not retry automatically: check the destination for an existing result first.";

constexpr std::array<std::string_view, 9> work_item_types = {"epic",     "story",        "feature", "bug",  "task",
                                                             "research", "architecture", "runbook", "spike"};
constexpr std::array<std::string_view, 5> priorities = {"P0", "P1", "P2", "P3", "P4"};

// An optional argument that must be one of a few words.
struct WordArgument {
  std::string_view key;
  std::span<const std::string_view> words;
  std::string_view fallback;  // taken when the argument is absent
  std::string_view invalid;   // the error for any other word
};

constexpr WordArgument type_argument = {"type", work_item_types, "task", "Invalid work item type."};
constexpr WordArgument priority_argument = {"priority", priorities, "P2", "Invalid priority."};

using tool_schema::nonempty_text;
using tool_schema::text;

Json word_schema(const WordArgument& argument) {
  Json property = tool_schema::choice(argument.words);
  property["default"] = argument.fallback;
  return property;
}

}  // namespace

Json work_item_definition(std::string_view name) {
  return tool_schema::tool(
      name,
      "Create a work item in Inbox on this session's resolved project and board. Requires a ready session. Use "
      "when the user asks to create/save a task, not merely to discuss one. Returns the created key and ID. Never "
      "retry a failed or uncertain write automatically; check for an existing result first.",
      {.properties = {{"title", nonempty_text()},
                      {"description", text("Requirement/specification text; Markdown supported.")},
                      {type_argument.key, word_schema(type_argument)},
                      {priority_argument.key, word_schema(priority_argument)},
                      {"labels", tool_schema::array_of(nonempty_text())}},
       .required = {"title"},
       .closed = true});
}

Json doc_page_definition(std::string_view name) {
  return tool_schema::tool(
      name,
      "Create a root draft document, attributed to the agent, in the resolved project's SERVER-DEFAULT Docs "
      "space. The current backend cannot select another space or parent through this tool. If the user requests "
      "another destination, explain the limitation instead of silently using default. Requires a ready session "
      "and a user request to save/create a page. Returns its ID and actual spaceId. Never retry a failed or "
      "uncertain write automatically; check existing pages first.",
      {.properties = {{"title", nonempty_text()}, {"body_markdown", text("Full Markdown content of the new draft.")}},
       .required = {"title", "body_markdown"},
       .closed = true});
}

namespace {

std::string must_be_string(std::string_view key) { return std::string(key) + " must be a string."; }

using context::member;

// The argument's word, or its fallback when it is absent.
Result<std::string> word(const Json& arguments, const WordArgument& argument) {
  const Json* value = member(arguments, argument.key);
  if (value == nullptr) return std::string(argument.fallback);
  const auto* text = value->get_ptr<const Json::string_t*>();
  if (text == nullptr) return failure(must_be_string(argument.key));
  if (!one_of(*text, argument.words)) return failure(argument.invalid);
  return *text;
}

Result<Json> labels(const Json& arguments) {
  const Json* value = member(arguments, "labels");
  if (value == nullptr) return Json::array();
  const std::string invalid = "labels must be an array of nonempty strings.";
  if (!value->is_array()) return failure(invalid);
  for (const Json& label : *value) {
    const auto* text = label.get_ptr<const Json::string_t*>();
    if (text == nullptr || unicode_text::blank(*text)) return failure(invalid);
  }
  return *value;
}

bool passes_identifier(const Json& record, std::string_view key) {
  return context::identifier(context::field(record, key)).has_value();
}

bool common_checks(const Json& record, std::string_view project_id) {
  return record.is_object() && passes_identifier(record, "id") && context::field(record, "projectId") == project_id &&
         !unicode_text::blank(context::field(record, "title"));
}

bool work_item_checks(const Json& record, std::string_view board_id) {
  return context::field(record, "boardId") == board_id && !context::field(record, "key").empty();
}

bool page_checks(const Json& record) {
  return context::field(record, "status") == "draft" && passes_identifier(record, "spaceId");
}

}  // namespace

Result<void> validate_args(const Json& arguments, std::initializer_list<std::string_view> allowed) {
  if (!arguments.is_object()) return failure("Arguments must be an object.");
  // Keys come in byte order; every key is judged before any value is read.
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    if (!one_of(it.key(), allowed)) {
      return failure("Unsupported argument: " + it.key() +
                     ". Use the documented creation schema; destination comes from the session.");
    }
  }
  auto title = string(arguments, "title");
  if (!title) return std::unexpected(title.error());
  if (unicode_text::blank(*title)) return failure("title must not be empty.");
  return {};
}

Result<std::string_view> string(const Json& arguments, std::string_view key) {
  const Json* value = member(arguments, key);
  if (value == nullptr) return std::string_view{};
  const auto* text = value->get_ptr<const Json::string_t*>();
  if (text == nullptr) return failure(must_be_string(key));
  return std::string_view(*text);
}

ToolOutcome work_item(const Client& client, std::string_view project_id, std::string_view board_id,
                      const Json& arguments) {
  if (auto valid = validate_args(arguments, {"title", "description", "type", "priority", "labels"}); !valid) {
    return std::unexpected(valid.error());
  }
  auto type = word(arguments, type_argument);
  if (!type) return std::unexpected(type.error());
  auto priority = word(arguments, priority_argument);
  if (!priority) return std::unexpected(priority.error());
  auto label_list = labels(arguments);
  if (!label_list) return std::unexpected(label_list.error());
  auto board = context::identifier(board_id);
  if (!board) return std::unexpected(board.error());
  auto title = string(arguments, "title");
  if (!title) return std::unexpected(title.error());
  auto description = string(arguments, "description");
  if (!description) return std::unexpected(description.error());
  auto project = context::identifier(project_id);
  if (!project) return std::unexpected(project.error());

  Json body = Json::object();
  body["boardId"] = *board;
  body["description"] = std::string(*description);
  body["labels"] = std::move(*label_list);
  body["priority"] = std::move(*priority);
  body["title"] = std::string(unicode_text::trim(*title));
  body["type"] = std::move(*type);
  return post(client, "board/projects/" + *project + "/work-items", false, std::move(body), "workItem", *project,
              *board);
}

ToolOutcome doc_page(const Client& client, std::string_view project_id, const Json& arguments) {
  if (auto valid = validate_args(arguments, {"title", "body_markdown"}); !valid) return std::unexpected(valid.error());
  const Json* markdown = member(arguments, "body_markdown");
  if (markdown == nullptr || !markdown->is_string()) {
    return failure("body_markdown is required and must be a string.");
  }
  // validate_args has read the title already.
  const std::string_view title = string(arguments, "title").value_or("");
  Json body = Json::object();
  body["authorType"] = "agent";
  body["bodyMarkdown"] = *markdown;
  body["changeSummary"] = "Created via Veltrun MCP";
  body["kind"] = "document";
  body["status"] = "draft";
  body["title"] = std::string(unicode_text::trim(title));
  auto project = context::identifier(project_id);
  if (!project) return std::unexpected(project.error());
  return post(client, "docs/projects/" + *project + "/pages", true, std::move(body), "page", *project, std::nullopt);
}

namespace {

// The creation's text from the answer to its request.
ToolOutcome created(const Result<Json>& response, bool docs, std::string_view response_key, std::string_view project_id,
                    std::optional<std::string_view> board_id) {
  if (!response) return unknown_outcome(response.error(), creation_unknown_outcome);
  const Json* record = member(*response, response_key);
  if (record == nullptr) {
    return unknown_outcome("Missing " + std::string(response_key) + " in creation response.", creation_unknown_outcome);
  }
  const bool confirmed = common_checks(*record, project_id) && (!board_id || work_item_checks(*record, *board_id)) &&
                         (!docs || page_checks(*record));
  if (!confirmed) return unknown_outcome("Invalid or mismatched creation response.", creation_unknown_outcome);
  Json result = Json::object();
  result["created"] = *record;
  return printed_pretty(result);
}

}  // namespace

ToolOutcome post(const Client& client, std::string_view path, bool docs, Json body, std::string_view response_key,
                 std::string_view project_id, std::optional<std::string_view> board_id) {
  // A write is never repeated: its first outcome is the only one reported,
  // and once sent it may have been carried out whatever its answer says.
  ToolOutcome outcome =
      created(client.request("POST", path, docs, std::move(body)), docs, response_key, project_id, board_id);
  outcome.written = creation_unknown_outcome;
  return outcome;
}

}  // namespace create
