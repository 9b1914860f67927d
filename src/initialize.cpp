#include "initialize.hpp"

#include "context.hpp"

// One line, ASCII only.
const std::string_view session_guidance =
    "On the first interaction, before project exploration and without waiting for the user to say they "
    "want to work here, call veltrun_session(action=status, cwd=<actual conversation workspace, if "
    "known>). Never substitute the MCP server's working directory. If this conversation has not chosen "
    "yet, present the returned question and its Connect Veltrun / Continue without Veltrun choices using "
    "the host question UI when available, otherwise as a short two-option question. Include outside "
    "registered project folders. Wait for an explicit answer; a preselected option is not consent. An "
    "explicit Veltrun command supplies consent. Restore a previous yes with enable or a previous no with "
    "disable after reconnection; never ask again in the same conversation. For needs_auth call "
    "veltrun_login(start); it opens the browser. Show a clickable Markdown fallback link. Poll "
    "automatically at the returned interval without asking the user to report completion. After "
    "authenticated, resolve the session and load project_context automatically. Show its selected-board "
    "open story count and the subset assigned to the authenticated user once at startup; if unavailable "
    "say so, never invent zero. On refusal call action=disable and do not invoke or mention Veltrun again "
    "in this session. Re-enable only after an explicit user /veltrun, /vlt-* or $vlt-* invocation. Ask "
    "the user to choose when project or board options are ambiguous. Keep the selection for this session "
    "only. Never interpret an API error as an empty board.";

// A skill document in Markdown with YAML front matter; every line ends in LF.
const std::string_view workflow_skill = R"skill(---
name: vlt-workflow
description: "Coordinate Veltrun delivery: choose or create the task, maintain its specification, log meaningful outcomes and advance phases when their conditions hold. Use for a request to carry out and track work in an enabled Veltrun session, or an explicit /vlt-workflow or $vlt-workflow. Pure discussion and read-only status requests do not create records."
---

# Veltrun delivery workflow

These rules say when to use the Veltrun MCP operations; they are neither a background scheduler nor proof that the user approved anything. The server supplies them at initialization, and the client still has to comply. The user's narrower instructions, the session opt-out, the established task scope and project-specific human gates take precedence. Installing this skill or reading these rules does not authorize publishing messages on existing tasks.

## Identify the work before writing

Resolve the session using `veltrun_session` and the `veltrun` skill. Every board or Docs operation uses the ready session's project and board; never switch a global selection. A disabled session means no writes to Veltrun: keep an earlier opt-out, and do not treat a generic implementation request as re-enabling it.

Tell discussing an idea, investigating or reporting status, and authorizing delivery apart. Discussion, questions, examples and read-only audits create no tasks, comments or pages; a request to save a requirement or to carry out tracked work does. An explicit invocation of this workflow for delivery authorizes the task, specification and outcome updates described here within that task, but no unrelated messages, publication or release. Other invocations use only writes the user already authorized; without authorization to track, finish the local work and ask whether to record it instead of publishing silently.

Use the task explicitly selected in the conversation; otherwise resolve the Team binding. Verify it with `get_work_item`, including history. If unbound, check existing tasks for the same requirement before `create_work_item`; titles alone are not sufficient proof of duplication. Settle an ambiguous match by showing the titles and asking the user (no memorized ID is needed). Reuse a matching open task; do not silently reopen a completed task for a new request, and do not file a separate requirement under the previously active task.

Create one item per coherent authorized deliverable, in Inbox, when no matching task exists. Its description holds the problem, the scope and the acceptance criteria, with open questions where relevant; reuse the returned key or ID afterwards. A failed creation through the API is not an empty search result: do not retry it automatically, and do not fall back to a local specification while claiming success on the board.

## When to create or edit Docs

- Create a page when the user asks for a document, or when the tracked deliverable needs a durable specification, the rationale of an architecture or decision, operating instructions, or a change to documented behaviour; a small fix fully explained by the task and its outcome needs no page.
- Inspect task history/links and existing project pages first (`list_doc_pages`, `get_doc_page`). Update the existing canonical page when the same feature, decision or runbook is refined or its delivered behaviour changes; do not start a second specification just because the session or the task changed.
- Use `create_doc_page` only for new content with no suitable existing page. It makes a root draft in the service's default Docs space; never silently put that location in place of a requested parent or space. Keep the returned page ID in the conversation and, where task comments are authorized, record the relationship in the task outcome; do not claim a typed link, as that operation is not offered.
- Before `update_doc_page`, read its full current content, ID, status and version. Merge the requested change into that content, keeping unrelated text and approved decisions. Submit the read version as `expected_version`, only the fields changed, and a concise `change_summary`. On conflict, reread and reconcile; never merely bump the expected version and resend the old body.
- New pages stay drafts. Editing a published page changes its published content, so do it only when the user's edit request or an existing authorization covers that page; an unapproved proposal to replace an accepted decision stays a proposal. No publish/archive operation is provided by these new tools.
- Reconcile the documentation with what was really delivered and tested before requesting final acceptance; never document a proposed feature as available.

## When to comment on a work item

Use `post_comment` for a material decision and rationale, a blocker needing action, a meaningful handoff, or an implementation/verification outcome. Include concrete evidence, remaining limitations and relevant document IDs or commit references when available. A verified review verdict uses `post_review`, not an untyped substitute comment.

Do not post every tool call, passing progress update, repeated status or skill reading; keep routine progress in the chat and consolidate a chunk of work into one useful outcome comment. Read recent history before posting so that a recorded outcome is not duplicated; report a failed post as failed instead of silently retrying it through another operation; pure discussion authorizes no external comments.

## When to change the work-item phase

Read the current item and respect its history and the project's workflow; do not repeat a transition to a phase that is already correct, and give every change a concrete reason. This table describes intended lifecycle order, not permission to downgrade an existing later phase:

| Phase | Condition |
| --- | --- |
| inbox | Newly captured requirement; this is the creation default. |
| refinement | Actual clarification/specification work has begun on that task. |
| in_progress | Implementation of the agreed scope actually begins; still applies during corrections. |
| review | The scoped changes and relevant checks are ready and have been handed off/requested for review; name any checks not run. |
| uat | Review requirements are satisfied, acceptance instructions exist and the user authorizes this human gate. |
| done | The user has explicitly accepted completion and the task's agreed verification/delivery criteria are met. Never infer acceptance from passing tests or an agent approval alone. |

The board enforces a Done gate: open review findings block the transition (HTTP 409 listing them). Close each verified finding with `resolve_finding` (fixed/resolved, or dismissed with a reason) before retrying; closing findings never replaces the user's acceptance.

## Branch convention (convention, not enforcement)

When a task moves to `in_progress` and the work changes a git repository, create or switch to a dedicated branch named `vlt/<key>-<short-slug>` (e.g. `vlt/db-0123-retry-flow`) instead of committing to the default branch; `update_phase` suggests the exact name. Record the branch name on the task (comment or outcome) and keep review corrections on the same branch. Work directly on main/master only when the operator explicitly directs it. This is a convention the agent follows — never install hooks or other blocking mechanisms to enforce it.

Do not regress a task on reconnection, move it merely because a document was opened, or mark it Done to clean up a session. Blockers are explained in comments; there is no `blocked` phase in the exposed tool. If current phase and actual work conflict, reconcile with the user instead of guessing. Review enabled/disabled is separate from board phase: `start-all`, `stop-all` and `off-all` do not move tasks or satisfy review/acceptance gates. Follow `vlt-review-start-all` only when that policy was explicitly activated.

## Multiple tasks and partial failures

Keep the active task, page IDs and versions, review state and last recorded outcome of each task in the conversation. Name the target explicitly when switching, and never infer it from the last item read or from a shared board key. Carry these mappings into continuation summaries, and do not claim a durable binding on the server or the persistence of a policy.

Treat each API result on its own: when the task was created but the page failed, keep the task ID and report the failed page, without recreating or rolling back the task; when documentation or a comment failed, do not claim the handoff as recorded. An ambiguous write outcome needs a read or check before any retry; a local draft can keep the work but is not a successful write to Veltrun. Return a concise summary of actual task/page changes, current phase and remaining work.
)skill";

namespace {

// Answered when the request names no version; a named one is echoed as it
// is, without negotiation.
constexpr std::string_view default_protocol_version = "2024-11-05";

Json protocol_version(const Json& request) {
  const Json* params = context::member(request, "params");
  const Json* version = params ? context::member(*params, "protocolVersion") : nullptr;
  if (!version || !version->is_string()) return default_protocol_version;
  return *version;
}

}  // namespace

std::string instructions() {
  std::string text(session_guidance);
  text += "\n\n";
  text += workflow_skill;
  return text;
}

Json initialize_result(const Json& request) {
  return Json{
      {"capabilities", Json{{"tools", Json::object()}}},
      {"instructions", instructions()},
      {"protocolVersion", protocol_version(request)},
      {"serverInfo", Json{{"name", "veltrun"}, {"version", "0.7.1"}}},
  };
}
