#include "catalogue.hpp"

#include <string>
#include <string_view>

#include "tool_schema.hpp"
#include "tracking.hpp"

namespace {

using tool_schema::choice;
using tool_schema::text;
using tool_schema::tool;

// The phase words as the descriptions list them, "inbox|...|done".
std::string phase_alternatives() {
  std::string joined;
  for (std::string_view word : tracking::phases) {
    if (!joined.empty()) joined += '|';
    joined += word;
  }
  return joined;
}

Json reference_schema() {
  return text(
      "Board key, e.g. DB-0013. Optional inside a Veltrun Team session \u2014 defaults to the tab's bound "
      "work item.");
}

}  // namespace

namespace catalogue {

Json veltrun_login(std::string_view name) {
  return tool(name,
              "Sign in after session opt-in. start opens the browser once and returns a clickable fallback link and "
              "user code. Poll automatically after interval seconds without asking the user to say done; never "
              "expose credentials. cancel abandons the pending login. After authenticated, resume "
              "veltrun_session(status). Never retry a write automatically.",
              {.properties = {{"action", choice({"start", "poll", "cancel"})}}, .required = {"action"}});
}

Json veltrun_session(std::string_view name) {
  return tool(name,
              "Resolve Veltrun for THIS session first. Pass the actual conversation cwd. In an unbound folder ask "
              "whether to use Veltrun before enable. disable silences all Veltrun activity until an explicit user "
              "/veltrun or /vlt-* command. select chooses project/board only for this connection; never updates a "
              "global selection. Follow returned questions/options.",
              {.properties = {{"action", choice({"status", "enable", "disable", "select"})},
                              {"cwd", text("Actual absolute conversation workspace; never infer from MCP launch cwd.")},
                              {"project_id", text("Exact ID from returned project choices.")},
                              {"board_id", text("Exact ID from returned board choices.")}},
               .required = {"action"}});
}

Json project_context(std::string_view name) {
  return tool(name,
              "One-shot project briefing: all board work items grouped by phase, plus the project's VDocs pages "
              "(architecture, decisions, runbooks). Call veltrun_session first and proceed only when ready. Never "
              "call when Veltrun is disabled for this session.",
              {});
}

Json list_doc_pages(std::string_view name) {
  return tool(name, "List the project's VDocs pages (id, kind, title).", {});
}

Json get_doc_page(std::string_view name) {
  return tool(name, "Read a VDocs page (markdown) by id or by exact/partial title.",
              {.properties = {{"page", text("Page id, or a title fragment")}}, .required = {"page"}});
}

Json get_work_item(std::string_view name) {
  return tool(name,
              "Read a Veltrun board work item: title, description, phase, the full chronological history (author "
              "decisions, turn outcomes, reviews) and reviewFindings with their IDs and statuses. The board is the "
              "source of truth \u2014 read this before working or reviewing.",
              {.properties = {{"reference", reference_schema()}}});
}

Json list_work_items(std::string_view name) {
  return tool(name, "List the current project's board work items (key, title, phase), optionally filtered by phase.",
              {.properties = {{"phase", text("Optional: " + phase_alternatives())}}});
}

Json post_comment(std::string_view name) {
  return tool(name,
              "Log a decision, idea or outcome on a board work item (agent comment). Everything goes through the "
              "board.",
              {.properties = {{"reference", reference_schema()}, {"body", text()}}, .required = {"body"}});
}

Json post_review(std::string_view name) {
  return tool(name,
              "Post a TYPED review verdict on a work item. Use as the second-agent reviewer after judging the "
              "recorded work. request_changes findings become OPEN findings that block Done until each is closed "
              "with resolve_finding; approve findings are recorded as non-blocking notes. On a re-review, approve "
              "only after closing the findings you verified.",
              {.properties = {{"reference", reference_schema()},
                              {"verdict", choice({"approve", "request_changes"})},
                              {"summary", text("One line")},
                              {"findings", tool_schema::array_of(text())}},
               .required = {"verdict", "summary"}});
}

Json resolve_finding(std::string_view name) {
  return tool(name,
              "Close ONE review finding on a work item after its fix is verified: fixed/resolved for addressed "
              "findings, dismissed (with a mandatory note) for findings that do not apply. Finding IDs come from "
              "get_work_item's reviewFindings or from the Done gate's 409 message. Open findings block the move to "
              "Done.",
              {.properties = {{"reference", reference_schema()},
                              {"finding_id", text("The finding's ID (UUID).")},
                              {"status", choice({"fixed", "resolved", "dismissed"})},
                              {"note", text("How it was verified; required when dismissing.")}},
               .required = {"finding_id", "status"}});
}

Json update_phase(std::string_view name) {
  return tool(
      name, "Move a work item to another phase (" + phase_alternatives() + ") with a reason.",
      {.properties = {{"reference", reference_schema()}, {"phase", choice(tracking::phases)}, {"reason", text()}},
       .required = {"phase"}});
}

}  // namespace catalogue
