#include "work_items.hpp"

#include <array>
#include <string_view>

#include "context.hpp"
#include "item_reference.hpp"
#include "team_core/api.hpp"
#include "tracking.hpp"
#include "unicode_text.hpp"

namespace work_items {

namespace {

// What to read before a write whose outcome is unknown is tried again. A
// review shows in the history (an approval without findings only there) and
// in the findings.
constexpr std::string_view comment_unknown_outcome =
    "Comment is not confirmed. Do not retry automatically: read the work item's comments with get_work_item first.";
constexpr std::string_view review_unknown_outcome =
    "Review is not confirmed. Do not retry automatically: read the work item's history and review findings with "
    "get_work_item first.";
constexpr std::string_view finding_unknown_outcome =
    "Finding update is not confirmed. Do not retry automatically: read the work item's review findings with "
    "get_work_item first.";
constexpr std::string_view phase_unknown_outcome =
    "Phase change is not confirmed. Do not retry automatically: read the work item's phase with get_work_item first.";

// The tails of an automatic assignment that did not happen, and of one that
// may have.
constexpr std::string_view assignment_failed = " Phase changed, but assignment failed: ";
constexpr std::string_view assignment_outcome_unknown =
    " Phase changed, but the automatic assignment could not be confirmed: ";

// A failed write request ends the tool; its answer is not read. Once the
// write may have been carried out, the sentence says so even when the reply
// cannot hold the text.
ToolOutcome sent(const std::expected<Json, Client::Failure>& response, std::string_view sentence, std::string text) {
  ToolOutcome outcome = std::move(text);
  if (!response) outcome = failure(response.error().text_with(sentence));
  if (response || response.error().outcome_unknown) outcome.written = sentence;
  return outcome;
}

std::string trimmed(const Json& arguments, std::string_view key) {
  return std::string(unicode_text::trim(context::field(arguments, key)));
}

bool all_strings(const Json& values) {
  if (!values.is_array()) return false;
  for (const Json& value : values) {
    if (!value.is_string()) return false;
  }
  return true;
}

bool unassigned(const Json& item) {
  auto it = item.find("assigneeUserId");
  return it == item.end() || it->is_null();
}

// The findings of the item that still block Done, one "- id [severity] title" line each.
std::string open_findings(const Client& client, const std::string& path) {
  auto response = client.request("GET", path + "/review-findings", false);
  if (!response || !response->is_object()) return "";
  auto findings = response->find("findings");
  if (findings == response->end() || !findings->is_array()) return "";
  std::string lines;
  for (const Json& finding : *findings) {
    if (context::field(finding, "status") != "open") continue;
    if (!lines.empty()) lines += '\n';
    lines += "- " + context::field(finding, "id") + " [" + context::field(finding, "severity") + "] " +
             context::field(finding, "title");
  }
  return lines;
}

ToolOutcome refused_phase(const Client& client, const Target& target, const std::string& phase,
                          const std::string& error) {
  if (phase != "done") return std::unexpected(error);
  const std::string lines = open_findings(client, target.path);
  if (lines.empty()) return std::unexpected(error);
  return std::unexpected(error +
                         "\nOpen review findings blocking Done \u2014 verify each fix, then mark it with "
                         "resolve_finding (fixed/resolved, or dismissed with a reason):\n" +
                         lines);
}

// Taking over an unheld item: the note on it, "" when no signed-in user can
// be read, and what it wrote in a sentence of its own.
struct AutoAssignment {
  std::string tail;
  std::string_view written;
};

constexpr std::string_view auto_assigned = "Auto-assigned to you.";

AutoAssignment assign_to_signed_in_user(const Client& client, const Target& target) {
  auto token = client.token(false);
  // The phase has changed already: a credential that vanished since must not
  // turn that into a reported failure.
  if (!token) return {std::string(assignment_failed) + token.error(), {}};
  const auto subject = team_core::api::token_subject(*token);
  if (!subject || subject->empty()) return {};
  const Json body = {{"assigneeUserId", *subject}, {"reason", "Auto-assigned: working on it via veltrun-mcp."}};
  auto response = client.send("PATCH", target.path + "/assignment", false, body);
  if (!response) {
    const Client::Failure& failed = response.error();
    const std::string_view head = failed.outcome_unknown ? assignment_outcome_unknown : assignment_failed;
    return {std::string(head) + failed.text_with(tracking::assignment_unknown_outcome),
            failed.outcome_unknown ? tracking::assignment_unknown_outcome : std::string_view{}};
  }
  return {" " + std::string(auto_assigned), auto_assigned};
}

}  // namespace

ToolOutcome get(const Client& client, const Target& target, const Json&) {
  auto history = client.request("GET", target.path + "/comments", false);
  if (!history) return std::unexpected(history.error());
  Json findings = Json::array();
  auto response = client.request("GET", target.path + "/review-findings", false);
  if (response && response->is_object()) {
    if (auto it = response->find("findings"); it != response->end()) findings = *it;
  }
  Json result = Json::object();
  result["history"] = std::move(*history);
  result["item"] = target.item;
  result["reviewFindings"] = std::move(findings);
  return printed_pretty(result);
}

ToolOutcome post_comment(const Client& client, const Target& target, const Json& arguments) {
  const std::string body = context::field(arguments, "body");
  if (unicode_text::blank(body)) return std::unexpected("body must not be empty.");
  const Json request = {{"body", body}, {"source", "agent"}};
  return sent(client.send("POST", target.path + "/comments", false, request), comment_unknown_outcome,
              "Comment posted on " + reference(target.item) + ".");
}

ToolOutcome post_review(const Client& client, const Target& target, const Json& arguments) {
  const std::string verdict = context::field(arguments, "verdict");
  if (verdict != "approve" && verdict != "request_changes") return std::unexpected("Invalid review verdict.");
  const std::string summary = context::field(arguments, "summary");
  if (unicode_text::blank(summary)) return std::unexpected("summary must not be empty.");
  Json findings = Json::array();
  if (arguments.is_object()) {
    if (auto it = arguments.find("findings"); it != arguments.end()) findings = *it;
  }
  if (!all_strings(findings)) return std::unexpected("findings must be an array of strings.");
  Json request = Json::object();
  request["findings"] = std::move(findings);
  request["summary"] = summary;
  request["verdict"] = verdict;
  return sent(client.send("POST", target.path + "/review-findings/verdict", false, request), review_unknown_outcome,
              "Review " + verdict + " posted on " + reference(target.item) + ".");
}

ToolOutcome resolve_finding(const Client& client, const Target& target, const Json& arguments) {
  auto finding_id = context::identifier(context::field(arguments, "finding_id"));
  if (!finding_id) return std::unexpected(finding_id.error());
  const std::string status = context::field(arguments, "status");
  if (status != "fixed" && status != "resolved" && status != "dismissed") {
    return std::unexpected("Invalid status: use fixed, resolved or dismissed.");
  }
  const std::string note = trimmed(arguments, "note");
  if (status == "dismissed" && note.empty()) {
    return std::unexpected("Dismissing a finding requires a note explaining why it does not apply.");
  }
  Json request = {{"status", status}};
  if (!note.empty()) request["resolutionNote"] = note;
  return sent(client.send("PATCH", target.path + "/review-findings/" + *finding_id, false, request),
              finding_unknown_outcome,
              "Finding " + *finding_id + " on " + reference(target.item) + " marked " + status + ".");
}

ToolOutcome update_phase(const Client& client, const Target& target, const Json& arguments) {
  const std::string phase = context::field(arguments, "phase");
  if (!one_of(phase, tracking::phases)) return std::unexpected("Invalid phase.");
  const Json request = {{"phase", phase}, {"reason", context::field(arguments, "reason")}};
  auto response = client.send("PATCH", target.path + "/phase", false, request);
  if (!response && response.error().outcome_unknown) {
    // Not known to be refused: the findings that would block Done say nothing here.
    ToolOutcome unknown = failure(response.error().text_with(phase_unknown_outcome));
    unknown.written = phase_unknown_outcome;
    return unknown;
  }
  if (!response) return refused_phase(client, target, phase, response.error().text);

  std::string tail;
  if (phase == "in_progress") {
    tail += " Branch convention: implement on `" + branch_name(target.item) +
            "` (record it on the task); use the default branch only when the operator directs it.";
  }
  std::string written = "Phase changed to " + phase + ".";
  constexpr std::array<std::string_view, 3> working = {"uat", "review", "in_progress"};
  if (one_of(phase, working) && unassigned(target.item)) {
    const AutoAssignment assignment = assign_to_signed_in_user(client, target);
    tail += assignment.tail;
    if (!assignment.written.empty()) written.append(" ").append(assignment.written);
  }
  ToolOutcome moved = reference(target.item) + " moved to " + phase + "." + tail;
  moved.written = std::move(written);
  return moved;
}

}  // namespace work_items
