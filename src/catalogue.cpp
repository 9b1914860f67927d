#include "catalogue.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

#include "create.hpp"
#include "edit.hpp"
#include "tracking.hpp"

namespace {

Json strings(std::initializer_list<std::string_view> values) {
  Json array = Json::array();
  for (std::string_view value : values) array.push_back(value);
  return array;
}

Json tool(std::string_view name, std::string_view description, Json properties,
          std::initializer_list<std::string_view> required = {}) {
  Json schema = {{"properties", std::move(properties)}, {"type", "object"}};
  if (required.size() > 0) schema["required"] = strings(required);
  return Json{{"description", description}, {"inputSchema", std::move(schema)}, {"name", name}};
}

Json text(std::string_view description = {}) {
  Json property = {{"type", "string"}};
  if (!description.empty()) property["description"] = description;
  return property;
}

Json choice(std::initializer_list<std::string_view> values) {
  return Json{{"enum", strings(values)}, {"type", "string"}};
}

Json reference_schema() {
  return text(
      "Board key, e.g. DB-0013. Optional inside a Veltrun Team session \u2014 defaults to the tab's bound "
      "work item.");
}

Json veltrun_login() {
  return tool("veltrun_login",
              "Sign in after session opt-in. start opens the browser once and returns a clickable fallback link and "
              "user code. Poll automatically after interval seconds without asking the user to say done; never "
              "expose credentials. cancel abandons the pending login. After authenticated, resume "
              "veltrun_session(status). Never retry a write automatically.",
              {{"action", choice({"start", "poll", "cancel"})}}, {"action"});
}

Json veltrun_session() {
  return tool("veltrun_session",
              "Resolve Veltrun for THIS session first. Pass the actual conversation cwd. In an unbound folder ask "
              "whether to use Veltrun before enable. disable silences all Veltrun activity until an explicit user "
              "/veltrun or /vlt-* command. select chooses project/board only for this connection; never updates a "
              "global selection. Follow returned questions/options.",
              {{"action", choice({"status", "enable", "disable", "select"})},
               {"cwd", text("Actual absolute conversation workspace; never infer from MCP launch cwd.")},
               {"project_id", text("Exact ID from returned project choices.")},
               {"board_id", text("Exact ID from returned board choices.")}},
              {"action"});
}

Json project_context() {
  return tool("project_context",
              "One-shot project briefing: all board work items grouped by phase, plus the project's VDocs pages "
              "(architecture, decisions, runbooks). Call veltrun_session first and proceed only when ready. Never "
              "call when Veltrun is disabled for this session.",
              Json::object());
}

Json list_doc_pages() {
  return tool("list_doc_pages", "List the project's VDocs pages (id, kind, title).", Json::object());
}

Json get_doc_page() {
  return tool("get_doc_page", "Read a VDocs page (markdown) by id or by exact/partial title.",
              {{"page", text("Page id, or a title fragment")}}, {"page"});
}

Json get_work_item(const Json& reference) {
  return tool("get_work_item",
              "Read a Veltrun board work item: title, description, phase, the full chronological history (author "
              "decisions, turn outcomes, reviews) and reviewFindings with their IDs and statuses. The board is the "
              "source of truth \u2014 read this before working or reviewing.",
              {{"reference", reference}});
}

Json list_work_items() {
  return tool("list_work_items",
              "List the current project's board work items (key, title, phase), optionally filtered by phase.",
              {{"phase", text("Optional: inbox|refinement|in_progress|review|uat|done")}});
}

Json post_comment(const Json& reference) {
  return tool("post_comment",
              "Log a decision, idea or outcome on a board work item (agent comment). Everything goes through the "
              "board.",
              {{"reference", reference}, {"body", text()}}, {"body"});
}

Json post_review(const Json& reference) {
  return tool("post_review",
              "Post a TYPED review verdict on a work item. Use as the second-agent reviewer after judging the "
              "recorded work. request_changes findings become OPEN findings that block Done until each is closed "
              "with resolve_finding; approve findings are recorded as non-blocking notes. On a re-review, approve "
              "only after closing the findings you verified.",
              {{"reference", reference},
               {"verdict", choice({"approve", "request_changes"})},
               {"summary", text("One line")},
               {"findings", Json{{"items", text()}, {"type", "array"}}}},
              {"verdict", "summary"});
}

Json resolve_finding(const Json& reference) {
  return tool("resolve_finding",
              "Close ONE review finding on a work item after its fix is verified: fixed/resolved for addressed "
              "findings, dismissed (with a mandatory note) for findings that do not apply. Finding IDs come from "
              "get_work_item's reviewFindings or from the Done gate's 409 message. Open findings block the move to "
              "Done.",
              {{"reference", reference},
               {"finding_id", text("The finding's ID (UUID).")},
               {"status", choice({"fixed", "resolved", "dismissed"})},
               {"note", text("How it was verified; required when dismissing.")}},
              {"finding_id", "status"});
}

Json update_phase(const Json& reference) {
  return tool("update_phase",
              "Move a work item to another phase (inbox|refinement|in_progress|review|uat|done) with a reason.",
              {{"reference", reference},
               {"phase", choice({"inbox", "refinement", "in_progress", "review", "uat", "done"})},
               {"reason", text()}},
              {"phase"});
}

}  // namespace

Json tool_defs() {
  const Json reference = reference_schema();
  Json tools = Json::array({veltrun_login(), veltrun_session(), project_context(), list_doc_pages(), get_doc_page(),
                            get_work_item(reference), list_work_items(), post_comment(reference),
                            post_review(reference), resolve_finding(reference), update_phase(reference)});
  for (Json& definition : create::definitions()) tools.push_back(std::move(definition));
  tools.push_back(edit::definition());
  for (Json& definition : tracking::definitions()) tools.push_back(std::move(definition));
  return tools;
}

// A constant computed on first use: every tools/list and every tool call
// would otherwise build and print the same eighteen definitions again.
const Json& tool_catalogue() {
  static const Json tools = tool_defs();
  return tools;
}

const std::string& printed_tools_result() {
  static const std::string text = json_text::compact(Json{{"tools", tool_catalogue()}});
  return text;
}
