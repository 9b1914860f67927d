#include "initialize.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "unicode_text.hpp"

namespace {

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    lines.emplace_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text does not end in LF";
  return lines;
}

Json request(const std::string& text) { return json_text::parse(text).value_or(Json()); }

TEST(InitializeResult, ProtocolVersion) {
  const struct {
    const char* request;
    const char* version;
  } cases[] = {
      {R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})", "2025-06-18"},
      {R"({"params":{"protocolVersion":"not a version at all"}})", "not a version at all"},
      {R"({"params":{"protocolVersion":""}})", ""},
      {R"({"params":{"protocolVersion":20250618}})", "2024-11-05"},
      {R"({"params":{"protocolVersion":null}})", "2024-11-05"},
      {R"({"params":{"protocolVersion":["2025-06-18"]}})", "2024-11-05"},
      {R"({"params":{}})", "2024-11-05"},
      {R"({"params":["2025-06-18"]})", "2024-11-05"},
      {R"({"params":"2025-06-18"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-06-18"})", "2024-11-05"},
      {R"({})", "2024-11-05"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(initialize_result(request(c.request))["protocolVersion"], c.version) << c.request;
  }
}

TEST(InitializeResult, FixedMembersPrintInByteOrder) {
  const std::string printed = json_text::compact(initialize_result(request(R"({"params":{"protocolVersion":"v"}})")));
  EXPECT_TRUE(printed.starts_with(R"({"capabilities":{"tools":{}},"instructions":"On the first interaction,)"));
  EXPECT_TRUE(printed.ends_with(R"(\n","protocolVersion":"v","serverInfo":{"name":"veltrun","version":"0.7.1"}})"))
      << printed.substr(printed.size() - 120);
}

TEST(InitializeResult, SameForEveryRequestApartFromTheVersion) {
  Json first = initialize_result(request(R"({"params":{"protocolVersion":"a"}})"));
  Json second = initialize_result(request(R"({"id":2})"));
  first.erase("protocolVersion");
  second.erase("protocolVersion");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.size(), 3u);
}

TEST(Instructions, GuidanceThenOneEmptyLineThenTheSkill) {
  const std::string text = initialize_result(Json::object())["instructions"].get<std::string>();
  EXPECT_EQ(text, instructions());
  EXPECT_EQ(text.size(), session_guidance.size() + 2 + workflow_skill.size());
  EXPECT_TRUE(text.starts_with(session_guidance));
  EXPECT_EQ(text.substr(session_guidance.size(), 5), "\n\n---");
  EXPECT_TRUE(text.ends_with("remaining work.\n"));
  EXPECT_FALSE(text.ends_with("\n\n"));
}

TEST(SessionGuidance, IsOneAsciiLineWithoutQuotes) {
  EXPECT_EQ(session_guidance.size(), 1503u);
  EXPECT_TRUE(std::all_of(session_guidance.begin(), session_guidance.end(),
                          [](char c) { return c >= 0x20 && c < 0x7f && c != '"'; }));
  EXPECT_TRUE(session_guidance.starts_with("On the first interaction, before project exploration"));
  EXPECT_TRUE(session_guidance.ends_with("Never interpret an API error as an empty board."));
}

TEST(WorkflowSkill, FrontMatterHeadingsAndLayout) {
  const std::vector<std::string> lines = lines_of(workflow_skill);
  ASSERT_EQ(lines.size(), 60u);
  EXPECT_EQ(lines[0], "---");
  EXPECT_EQ(lines[1], "name: vlt-workflow");
  EXPECT_EQ(lines[2],
            "description: \"Coordinate Veltrun delivery: choose or create the task, maintain its specification, log "
            "meaningful outcomes and advance phases when their conditions hold. Use for a request to carry out and "
            "track work in an enabled Veltrun session, or an explicit /vlt-workflow or $vlt-workflow. Pure "
            "discussion and read-only status requests do not create records.\"");
  EXPECT_EQ(lines[3], "---");

  const std::vector<std::string> headings = {
      "# Veltrun delivery workflow",
      "## Identify the work before writing",
      "## When to create or edit Docs",
      "## When to comment on a work item",
      "## When to change the work-item phase",
      "## Branch convention (convention, not enforcement)",
      "## Multiple tasks and partial failures",
  };
  std::vector<std::string> found;
  for (std::size_t i = 4; i < lines.size(); ++i) {
    if (!lines[i].starts_with("#")) continue;
    found.push_back(lines[i]);
    EXPECT_EQ(lines[i - 1], "") << lines[i];
    EXPECT_EQ(lines[i + 1], "") << lines[i];
  }
  EXPECT_EQ(found, headings);

  // Every body block is a single line: no two non-empty lines touch, except
  // inside the list and the table.
  int list_items = 0;
  for (std::size_t i = 5; i < lines.size(); ++i) {
    if (lines[i].starts_with("- ")) ++list_items;
    const bool grouped = lines[i].starts_with("- ") || lines[i].starts_with("| ");
    if (!grouped && !lines[i].empty()) {
      EXPECT_TRUE(lines[i - 1].empty()) << "line " << i + 1;
    }
  }
  EXPECT_EQ(list_items, 6);
  EXPECT_FALSE(lines.back().empty());
}

TEST(WorkflowSkill, PhaseTable) {
  const std::vector<std::string> lines = lines_of(workflow_skill);
  auto header = std::find(lines.begin(), lines.end(), "| Phase | Condition |");
  ASSERT_NE(header, lines.end());
  const std::vector<std::string> table(header, std::min(header + 9, lines.end()));
  EXPECT_EQ(table, (std::vector<std::string>{
                       "| Phase | Condition |",
                       "| --- | --- |",
                       "| inbox | Newly captured requirement; this is the creation default. |",
                       "| refinement | Actual clarification/specification work has begun on that task. |",
                       "| in_progress | Implementation of the agreed scope actually begins; still applies during "
                       "corrections. |",
                       "| review | The scoped changes and relevant checks are ready and have been handed "
                       "off/requested for review; name any checks not run. |",
                       "| uat | Review requirements are satisfied, acceptance instructions exist and the user "
                       "authorizes this human gate. |",
                       "| done | The user has explicitly accepted completion and the task's agreed "
                       "verification/delivery criteria are met. Never infer acceptance from passing tests or an "
                       "agent approval alone. |",
                       "",
                   }));
  EXPECT_TRUE(header[-2].ends_with(
      "This table describes intended lifecycle order, not permission to downgrade an existing later phase:"));
}

TEST(WorkflowSkill, TheEmDashIsItsOnlyNonAsciiCharacter) {
  std::vector<char32_t> non_ascii;
  for (char32_t c : unicode_text::code_points(workflow_skill)) {
    if (c > 0x7f) non_ascii.push_back(c);
  }
  EXPECT_EQ(non_ascii, std::vector<char32_t>{U'\u2014'});
  EXPECT_NE(workflow_skill.find("This is a convention the agent follows \u2014 never install hooks"),
            std::string_view::npos);
}

TEST(WorkflowSkill, QuotedSentencesStandWordForWord) {
  const char* sentences[] = {
      "Resolve the session using `veltrun_session` and the `veltrun` skill.",
      "Verify it with `get_work_item`, including history.",
      "If unbound, check existing tasks for the same requirement before `create_work_item`; titles alone are not "
      "sufficient proof of duplication.",
      "Create one item per coherent authorized deliverable, in Inbox, when no matching task exists.",
      "Inspect task history/links and existing project pages first (`list_doc_pages`, `get_doc_page`).",
      "Use `create_doc_page` only for new content with no suitable existing page.",
      "Before `update_doc_page`, read its full current content, ID, status and version.",
      "Submit the read version as `expected_version`, only the fields changed, and a concise `change_summary`.",
      "On conflict, reread and reconcile; never merely bump the expected version and resend the old body.",
      "No publish/archive operation is provided by these new tools.",
      "Use `post_comment` for a material decision and rationale, a blocker needing action, a meaningful handoff, "
      "or an implementation/verification outcome.",
      "A verified review verdict uses `post_review`, not an untyped substitute comment.",
      "The board enforces a Done gate: open review findings block the transition (HTTP 409 listing them). Close "
      "each verified finding with `resolve_finding` (fixed/resolved, or dismissed with a reason) before retrying; "
      "closing findings never replaces the user's acceptance.",
      "When a task moves to `in_progress` and the work changes a git repository, create or switch to a dedicated "
      "branch named `vlt/<key>-<short-slug>` (e.g. `vlt/db-0123-retry-flow`) instead of committing to the default "
      "branch; `update_phase` suggests the exact name.",
      "Do not regress a task on reconnection, move it merely because a document was opened, or mark it Done to "
      "clean up a session.",
      "Blockers are explained in comments; there is no `blocked` phase in the exposed tool.",
      "If current phase and actual work conflict, reconcile with the user instead of guessing.",
      "Review enabled/disabled is separate from board phase: `start-all`, `stop-all` and `off-all` do not move "
      "tasks or satisfy review/acceptance gates.",
      "Follow `vlt-review-start-all` only when that policy was explicitly activated.",
  };
  for (const char* sentence : sentences) {
    EXPECT_NE(workflow_skill.find(sentence), std::string_view::npos) << sentence;
  }
  EXPECT_TRUE(workflow_skill.ends_with(
      "Return a concise summary of actual task/page changes, current phase and remaining work.\n"));
}

}  // namespace
