#include "create.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;
using Lines = std::vector<std::string>;

const std::string creation_unknown_outcome =
    "Creation is not confirmed. Do not retry automatically: check the destination for an existing result first.";
const std::string unsupported_tail = ". Use the documented creation schema; destination comes from the session.";
const std::string mismatch = "Invalid or mismatched creation response. " + creation_unknown_outcome;
const std::string items_path = "board/projects/P1/work-items";
const std::string pages_path = "docs/projects/P1/pages";

enum class Tool { work_item, doc_page };

class CreateTools : public ::testing::Test {
 protected:
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};

  CreateTools() {
    app.write("board-token.txt", "board-secret\n");
    app.write("docs-token.txt", " docs-secret ");
  }

  ToolOutcome run(Tool tool, const Json& arguments, const std::string& project = "P1",
                  const std::string& board = "B1") {
    if (tool == Tool::work_item) return create::work_item(client, project, board, arguments);
    return create::doc_page(client, project, arguments);
  }
  // "METHOD target body" of every request since the last call.
  Lines sent() {
    Lines out = service.exchanges();
    service.clear_requests();
    return out;
  }
  static std::string text(const ToolOutcome& outcome) { return outcome ? *outcome : "error: " + outcome.error(); }
};

Json valid_item() {
  return {{"id", "W9"}, {"key", "DB-9"}, {"projectId", "P1"}, {"boardId", "B1"}, {"title", "Fix login"}};
}

Json valid_page() {
  return {{"id", "D1"}, {"projectId", "P1"}, {"title", "Notes"}, {"status", "draft"}, {"spaceId", "S1"}};
}

Json with(Json record, const std::string& key, const Json& value) {
  record[key] = value;
  return record;
}

Json without(Json record, const std::string& key) {
  record.erase(key);
  return record;
}

TEST_F(CreateTools, ArgumentErrorsStopBeforeAnyRequest) {
  struct Case {
    Tool tool;
    Json arguments;
    std::string error;
    std::string project = "P1";
    std::string board = "B1";
  };
  const std::string object = "Arguments must be an object.";
  const std::string empty_title = "title must not be empty.";
  const std::string bad_type = "Invalid work item type.";
  const std::string bad_priority = "Invalid priority.";
  const std::string bad_labels = "labels must be an array of nonempty strings.";
  const std::string markdown = "body_markdown is required and must be a string.";
  const std::string invalid_id = "Invalid identifier.";
  auto unsupported = [&](const std::string& key) { return "Unsupported argument: " + key + unsupported_tail; };
  const Json title = {{"title", "x"}};
  const Json page = {{"title", "x"}, {"body_markdown", "text"}};
  const std::vector<Case> cases = {
      {Tool::work_item, nullptr, object},
      {Tool::work_item, Json::array({title}), object},
      {Tool::work_item, "title", object},
      {Tool::doc_page, nullptr, object},
      {Tool::doc_page, Json::array(), object},
      {Tool::work_item, Json::object(), empty_title},
      {Tool::doc_page, Json::object(), empty_title},
      {Tool::work_item, {{"title", " \t\n\u00a0\u3000"}}, empty_title},
      {Tool::doc_page, {{"title", ""}, {"body_markdown", "x"}}, empty_title},
      {Tool::work_item, {{"title", nullptr}}, "title must be a string."},
      {Tool::doc_page, {{"title", 7}, {"body_markdown", "x"}}, "title must be a string."},
      {Tool::work_item, {{"title", "x"}, {"project_id", "P2"}}, unsupported("project_id")},
      {Tool::work_item, {{"title", "x"}, {"board_id", "B2"}}, unsupported("board_id")},
      {Tool::doc_page, {{"title", "x"}, {"body_markdown", "x"}, {"labels", Json::array()}}, unsupported("labels")},
      {Tool::doc_page, {{"title", "x"}, {"body_markdown", "x"}, {"description", ""}}, unsupported("description")},
      {Tool::work_item, {{"title", "x"}, {"body_markdown", ""}}, unsupported("body_markdown")},
      // Upper-case letters sort first; keys are judged before any value, the title included.
      {Tool::work_item, {{"zeta", 1}, {"Zeta", 1}}, unsupported("Zeta")},
      {Tool::doc_page, {{"alpha", 1}, {"Title", "x"}}, unsupported("Title")},
      {Tool::work_item, {{"title", nullptr}, {"zz", 1}}, unsupported("zz")},
      {Tool::work_item, {{"type", "Bad"}, {"title", "x"}, {"zz", 1}}, unsupported("zz")},
      // The title is judged before the other arguments and the ids.
      {Tool::work_item, {{"type", "Bad"}, {"labels", nullptr}}, empty_title, "P/1", "B/1"},
      {Tool::doc_page, {{"title", "\u200b"}}, markdown},
      {Tool::work_item, {{"title", "x"}, {"t\u00eftle\n", 1}}, unsupported("t\u00eftle\n")},
      {Tool::work_item, {{"title", "x"}, {"type", "Task"}}, bad_type},
      {Tool::work_item, {{"title", "x"}, {"type", " task"}}, bad_type},
      {Tool::work_item, {{"title", "x"}, {"type", ""}}, bad_type},
      {Tool::work_item, {{"title", "x"}, {"type", nullptr}}, "type must be a string."},
      {Tool::work_item, {{"title", "x"}, {"type", Json::array({"task"})}}, "type must be a string."},
      {Tool::work_item, {{"title", "x"}, {"type", "bad"}, {"priority", "bad"}}, bad_type},
      {Tool::work_item, {{"title", "x"}, {"priority", "p2"}}, bad_priority},
      {Tool::work_item, {{"title", "x"}, {"priority", "P5"}}, bad_priority},
      {Tool::work_item, {{"title", "x"}, {"priority", "P2 "}}, bad_priority},
      {Tool::work_item, {{"title", "x"}, {"priority", 2}}, "priority must be a string."},
      {Tool::work_item, {{"title", "x"}, {"priority", "P9"}, {"labels", nullptr}}, bad_priority},
      {Tool::work_item, {{"title", "x"}, {"labels", Json::array({"a", " "})}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", Json::array({"\u3000"})}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", Json::array({"a", 1})}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", Json::array({nullptr})}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", "a"}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", nullptr}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", Json{{"a", "b"}}}}, bad_labels},
      {Tool::work_item, {{"title", "x"}, {"labels", Json::array({""})}}, bad_labels, "P/1", "B/1"},
      {Tool::work_item, title, invalid_id, "P1", ""},
      {Tool::work_item, title, invalid_id, "P1", "B 1"},
      {Tool::work_item, title, invalid_id, "P1", "../B1"},
      {Tool::work_item, {{"title", "x"}, {"description", 5}}, invalid_id, "P1", "B\u00e91"},
      {Tool::work_item, {{"title", "x"}, {"description", nullptr}}, "description must be a string."},
      {Tool::work_item, {{"title", "x"}, {"description", Json::object()}}, "description must be a string."},
      {Tool::work_item, {{"title", "x"}, {"description", nullptr}}, "description must be a string.", "P/1"},
      {Tool::work_item, title, invalid_id, ""},
      {Tool::work_item, title, invalid_id, "P1?x=1"},
      {Tool::work_item, title, invalid_id, "P%31"},
      {Tool::doc_page, title, markdown},
      {Tool::doc_page, {{"title", "x"}, {"body_markdown", nullptr}}, markdown},
      {Tool::doc_page, {{"title", "x"}, {"body_markdown", Json::array({"x"})}}, markdown},
      {Tool::doc_page, {{"body_markdown", 1}}, empty_title},
      {Tool::doc_page, {{"title", "x"}}, markdown, "P/1"},
      {Tool::doc_page, page, invalid_id, ""},
      {Tool::doc_page, page, invalid_id, "P 1"},
      {Tool::doc_page, page, invalid_id, "\u0420\u0031"},
  };
  for (const Case& c : cases) {
    const std::string label = json_text::compact(c.arguments) + " project=" + c.project + " board=" + c.board;
    EXPECT_EQ(text(run(c.tool, c.arguments, c.project, c.board)), "error: " + c.error) << label;
    EXPECT_TRUE(sent().empty()) << label;
  }
}

TEST_F(CreateTools, WorkItemBodyIsBuiltFromTheArgumentsWithDefaults) {
  struct Case {
    Json arguments;
    std::string body;
  };
  const std::vector<Case> cases = {
      {{{"title", "  Fix login \u00a0\n"}},
       R"({"boardId":"B1","description":"","labels":[],"priority":"P2","title":"Fix login","type":"task"})"},
      {{{"title", "Ship \u2003 it"},
        {"description", "  \n"},
        {"type", "spike"},
        {"priority", "P0"},
        {"labels", Json::array({" ui ", "b", "b", "\u00fcber"})}},
       R"({"boardId":"B1","description":"  \n","labels":[" ui ","b","b",")"
       "\u00fcber"
       R"("],"priority":"P0","title":"Ship )"
       "\u2003"
       R"( it","type":"spike"})"},
      {{{"title", "x"}, {"labels", Json::array()}, {"description", "# Spec\n\n- a"}},
       R"({"boardId":"B1","description":"# Spec\n\n- a","labels":[],"priority":"P2","title":"x","type":"task"})"},
  };
  service.on("POST", items_path, Reply::json(Json{{"workItem", valid_item()}}, 201));
  for (const Case& c : cases) {
    EXPECT_TRUE(run(Tool::work_item, c.arguments).has_value()) << c.body;
    EXPECT_EQ(sent(), Lines{"POST " + items_path + " " + c.body});
  }
  for (const char* type : {"epic", "story", "feature", "bug", "task", "research", "architecture", "runbook", "spike"}) {
    EXPECT_TRUE(run(Tool::work_item, {{"title", "x"}, {"type", type}}).has_value()) << type;
    EXPECT_EQ(service.requests().at(0).json()["type"], type);
    sent();
  }
  for (const char* priority : {"P0", "P1", "P2", "P3", "P4"}) {
    EXPECT_TRUE(run(Tool::work_item, {{"title", "x"}, {"priority", priority}}).has_value()) << priority;
    EXPECT_EQ(service.requests().at(0).json()["priority"], priority);
    sent();
  }
}

TEST_F(CreateTools, PageBodyTrimsOnlyTheTitle) {
  struct Case {
    Json arguments;
    std::string body;
  };
  const std::string fixed = R"("changeSummary":"Created via Veltrun MCP","kind":"document","status":"draft",)";
  const std::vector<Case> cases = {
      {{{"title", "\u3000Notes\u2028"}, {"body_markdown", " \n"}},
       R"({"authorType":"agent","bodyMarkdown":" \n",)" + fixed + R"("title":"Notes"})"},
      {{{"body_markdown", "# A\n\n- b\n"}, {"title", "N o"}},
       R"({"authorType":"agent","bodyMarkdown":"# A\n\n- b\n",)" + fixed + R"("title":"N o"})"},
      // A zero-width space has no White_Space property, so the title is not blank.
      {{{"title", "\u200b"}, {"body_markdown", ""}},
       R"({"authorType":"agent","bodyMarkdown":"",)" + fixed + "\"title\":\"\u200b\"}"},
  };
  service.on("POST", pages_path, Reply::json(Json{{"page", valid_page()}}, 201));
  for (const Case& c : cases) {
    EXPECT_TRUE(run(Tool::doc_page, c.arguments).has_value()) << c.body;
    EXPECT_EQ(sent(), Lines{"POST " + pages_path + " " + c.body});
  }
}

TEST(CreateDefinitions, PrintTheDocumentedToolsExactly) {
  const std::vector<Json> tools = {create::work_item_definition("create_work_item"),
                                   create::doc_page_definition("create_doc_page")};
  EXPECT_EQ(json_text::compact(tools[0]),
            R"({"description":"Create a work item in Inbox on this session's resolved project and board. Requires a )"
            R"(ready session. Use when the user asks to create/save a task, not merely to discuss one. Returns the )"
            R"(created key and ID. Never retry a failed or uncertain write automatically; check for an existing )"
            R"(result first.","inputSchema":{"additionalProperties":false,"properties":{"description":)"
            R"({"description":"Requirement/specification text; Markdown supported.","type":"string"},)"
            R"("labels":{"items":{"minLength":1,"type":"string"},"type":"array"},)"
            R"("priority":{"default":"P2","enum":["P0","P1","P2","P3","P4"],"type":"string"},)"
            R"("title":{"minLength":1,"type":"string"},)"
            R"("type":{"default":"task","enum":["epic","story","feature","bug","task","research","architecture",)"
            R"("runbook","spike"],"type":"string"}},"required":["title"],"type":"object"},)"
            R"("name":"create_work_item"})");
  EXPECT_EQ(json_text::compact(tools[1]),
            R"({"description":"Create a root draft document, attributed to the agent, in the resolved project's )"
            R"(SERVER-DEFAULT Docs space. The current backend cannot select another space or parent through this )"
            R"(tool. If the user requests another destination, explain the limitation instead of silently using )"
            R"(default. Requires a ready session and a user request to save/create a page. Returns its ID and actual )"
            R"(spaceId. Never retry a failed or uncertain write automatically; check existing pages first.",)"
            R"("inputSchema":{"additionalProperties":false,"properties":{"body_markdown":{"description":)"
            R"("Full Markdown content of the new draft.","type":"string"},"title":{"minLength":1,"type":"string"}},)"
            R"("required":["title","body_markdown"],"type":"object"},"name":"create_doc_page"})");
}

TEST_F(CreateTools, EachToolUsesItsOwnCredentialAndPath) {
  service.on("POST", items_path, Reply::json(Json{{"workItem", valid_item()}}));
  service.on("POST", pages_path, Reply::json(Json{{"page", valid_page()}}, 201));
  ASSERT_TRUE(run(Tool::work_item, {{"title", "x"}}).has_value());
  ASSERT_TRUE(run(Tool::doc_page, {{"title", "\tNotes "}, {"body_markdown", ""}}).has_value());
  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("authorization"), "Bearer board-secret");
  EXPECT_EQ(requests[1].header("authorization"), "Bearer docs-secret");
  EXPECT_EQ(requests[1].line() + " " + requests[1].body,
            "POST " + pages_path +
                R"( {"authorType":"agent","bodyMarkdown":"","changeSummary":"Created via Veltrun MCP",)"
                R"("kind":"document","status":"draft","title":"Notes"})");
  EXPECT_EQ(requests[1].header("content-type"), "application/json");
}

TEST_F(CreateTools, SuccessShowsTheRecordWholeAndUnchanged) {
  // The echoed title is only required to be non-blank, not equal to the one sent.
  Json item = with(valid_item(), "title", " Renamed by service ");
  item["phase"] = "inbox";
  item["labels"] = Json::array({"b", "a"});
  item["extra"] = Json{{"nested", nullptr}};
  service.on("POST", items_path, Reply::json(Json{{"other", 1}, {"workItem", item}}, 201));
  EXPECT_EQ(text(run(Tool::work_item, {{"title", "Fix login"}})),
            "{\n"
            "  \"created\": {\n"
            "    \"boardId\": \"B1\",\n"
            "    \"extra\": {\n"
            "      \"nested\": null\n"
            "    },\n"
            "    \"id\": \"W9\",\n"
            "    \"key\": \"DB-9\",\n"
            "    \"labels\": [\n"
            "      \"b\",\n"
            "      \"a\"\n"
            "    ],\n"
            "    \"phase\": \"inbox\",\n"
            "    \"projectId\": \"P1\",\n"
            "    \"title\": \" Renamed by service \"\n"
            "  }\n"
            "}");
  EXPECT_EQ(sent().size(), 1u);

  // A page needs neither a key nor a board; version and body come back as sent.
  Json page = with(valid_page(), "version", 1);
  page["bodyMarkdown"] = "";
  service.on("POST", pages_path, Reply::json(Json{{"page", page}}));
  EXPECT_EQ(text(run(Tool::doc_page, {{"title", "Notes"}, {"body_markdown", ""}})),
            json_text::pretty(Json{{"created", page}}));
  EXPECT_EQ(sent().size(), 1u);
}

TEST_F(CreateTools, UnverifiedRecordsAreReportedAsUnconfirmed) {
  struct Case {
    Tool tool;
    Json response;
    std::string error;
  };
  auto item = [](const Json& record) { return Json{{"workItem", record}}; };
  auto page = [](const Json& record) { return Json{{"page", record}}; };
  const std::string missing_item = "Missing workItem in creation response. " + creation_unknown_outcome;
  const std::string missing_page = "Missing page in creation response. " + creation_unknown_outcome;
  const std::vector<Case> cases = {
      {Tool::work_item, Json::object(), missing_item},
      {Tool::work_item, Json::array({item(valid_item())}), missing_item},
      {Tool::work_item, page(valid_item()), missing_item},
      {Tool::work_item, valid_item(), missing_item},
      {Tool::doc_page, item(valid_page()), missing_page},
      {Tool::doc_page, "page", missing_page},
      {Tool::work_item, item(nullptr), mismatch},
      {Tool::work_item, item(Json::array({valid_item()})), mismatch},
      {Tool::work_item, item("W9"), mismatch},
      {Tool::work_item, item(without(valid_item(), "id")), mismatch},
      {Tool::work_item, item(with(valid_item(), "id", "W 9")), mismatch},
      {Tool::work_item, item(with(valid_item(), "id", 9)), mismatch},
      {Tool::work_item, item(without(valid_item(), "projectId")), mismatch},
      {Tool::work_item, item(with(valid_item(), "projectId", "P2")), mismatch},
      {Tool::work_item, item(with(valid_item(), "projectId", "p1")), mismatch},
      {Tool::work_item, item(without(valid_item(), "title")), mismatch},
      {Tool::work_item, item(with(valid_item(), "title", " \u3000")), mismatch},
      {Tool::work_item, item(with(valid_item(), "title", 1)), mismatch},
      {Tool::work_item, item(without(valid_item(), "boardId")), mismatch},
      {Tool::work_item, item(with(valid_item(), "boardId", "B2")), mismatch},
      {Tool::work_item, item(with(valid_item(), "boardId", " B1")), mismatch},
      {Tool::work_item, item(without(valid_item(), "key")), mismatch},
      {Tool::work_item, item(with(valid_item(), "key", "")), mismatch},
      {Tool::work_item, item(with(valid_item(), "key", 9)), mismatch},
      {Tool::doc_page, page(nullptr), mismatch},
      {Tool::doc_page, page(Json::object()), mismatch},
      {Tool::doc_page, page(with(valid_page(), "id", "D/1")), mismatch},
      {Tool::doc_page, page(with(valid_page(), "projectId", "P2")), mismatch},
      {Tool::doc_page, page(with(valid_page(), "title", "")), mismatch},
      {Tool::doc_page, page(with(valid_page(), "status", "published")), mismatch},
      {Tool::doc_page, page(with(valid_page(), "status", "Draft")), mismatch},
      {Tool::doc_page, page(without(valid_page(), "status")), mismatch},
      {Tool::doc_page, page(without(valid_page(), "spaceId")), mismatch},
      {Tool::doc_page, page(with(valid_page(), "spaceId", "")), mismatch},
      {Tool::doc_page, page(with(valid_page(), "spaceId", "S.1")), mismatch},
  };
  const Json item_arguments = {{"title", "Fix login"}};
  const Json page_arguments = {{"title", "Notes"}, {"body_markdown", "x"}};
  for (const Case& c : cases) {
    fake::Service fresh;
    Client local(app.path(), fresh.base_url());
    const bool is_item = c.tool == Tool::work_item;
    fresh.on("POST", is_item ? items_path : pages_path, Reply::json(c.response, 201));
    const ToolOutcome outcome =
        is_item ? create::work_item(local, "P1", "B1", item_arguments) : create::doc_page(local, "P1", page_arguments);
    EXPECT_EQ(text(outcome), "error: " + c.error) << json_text::compact(c.response);
    EXPECT_EQ(fresh.lines(), Lines{"POST " + (is_item ? items_path : pages_path)}) << json_text::compact(c.response);
  }
}

TEST_F(CreateTools, NoContentAnswerIsNotAConfirmation) {
  service.on("POST", items_path, Reply::empty(204));
  service.on("POST", pages_path, Reply::empty(204));
  EXPECT_EQ(text(run(Tool::work_item, {{"title", "x"}})),
            "error: Missing workItem in creation response. " + creation_unknown_outcome);
  EXPECT_EQ(text(run(Tool::doc_page, {{"title", "x"}, {"body_markdown", "y"}})),
            "error: Missing page in creation response. " + creation_unknown_outcome);
  EXPECT_EQ(service.lines(), (Lines{"POST " + items_path, "POST " + pages_path}));
}

TEST_F(CreateTools, FailedRequestsKeepTheClientTextFirstAndAreNeverRetried) {
  struct Case {
    Reply reply;
    std::string client_text;
  };
  const std::vector<Case> cases = {
      {Reply::empty(401),
       "AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again."},
      {Reply::json(Json{{"message", " Title taken "}}, 409),
       "Veltrun API returned HTTP 409 for POST {path}:  Title taken "},
      {Reply::raw(500, "<html>oops</html>", "text/html"),
       "Veltrun API returned HTTP 500 for POST {path}. No success or empty result can be inferred."},
      {Reply::raw(200, ""), "Veltrun API returned invalid JSON."},
      {Reply::raw(201, "{\"workItem\":"), "Veltrun API returned invalid JSON."},
  };
  for (const Case& c : cases) {
    for (Tool tool : {Tool::work_item, Tool::doc_page}) {
      fake::Service fresh;
      Client local(app.path(), fresh.base_url());
      const std::string path = tool == Tool::work_item ? items_path : pages_path;
      fresh.on("POST", path, c.reply);
      fresh.on("POST", path, Reply::json(Json{{"workItem", valid_item()}, {"page", valid_page()}}));
      std::string expected = c.client_text;
      if (auto at = expected.find("{path}"); at != std::string::npos) expected.replace(at, 6, path);
      const ToolOutcome outcome = tool == Tool::work_item
                                      ? create::work_item(local, "P1", "B1", {{"title", "x"}})
                                      : create::doc_page(local, "P1", {{"title", "x"}, {"body_markdown", "y"}});
      EXPECT_EQ(text(outcome), "error: " + expected + " " + creation_unknown_outcome) << path;
      EXPECT_EQ(fresh.lines(), Lines{"POST " + path});
    }
  }
}

TEST_F(CreateTools, MissingCredentialOfTheToolsKindIsReported) {
  const std::string token_missing = "AUTH_REQUIRED: Token unavailable. Use veltrun_login after session opt-in.";
  service.on("POST", items_path, Reply::json(Json{{"workItem", valid_item()}}));
  std::filesystem::remove(app.path() / "docs-token.txt");
  EXPECT_EQ(text(run(Tool::doc_page, {{"title", "x"}, {"body_markdown", "y"}})),
            "error: " + token_missing + " " + creation_unknown_outcome);
  EXPECT_TRUE(sent().empty());
  EXPECT_TRUE(run(Tool::work_item, {{"title", "x"}}).has_value());
  app.write("board-token.txt", " \n\t");
  sent();
  EXPECT_EQ(text(run(Tool::work_item, {{"title", "x"}})), "error: " + token_missing + " " + creation_unknown_outcome);
  EXPECT_TRUE(sent().empty());
}

TEST(CreateString, ReadsAStringMemberUntrimmed) {
  struct Case {
    Json arguments;
    std::string value;  // "error: ..." for a failure
  };
  const std::vector<Case> cases = {
      {Json::object(), ""},
      {{{"description", " a\n"}}, " a\n"},
      {{{"description", ""}}, ""},
      {{{"description", nullptr}}, "error: description must be a string."},
      {{{"description", false}}, "error: description must be a string."},
      {{{"description", Json::array({"a"})}}, "error: description must be a string."},
      {{{"other", 1}}, ""},
  };
  for (const Case& c : cases) {
    auto value = create::string(c.arguments, "description");
    EXPECT_EQ(value ? std::string(*value) : "error: " + value.error(), c.value) << json_text::compact(c.arguments);
  }
  // Borrowed from the arguments, not copied.
  const Json arguments = {{"description", "kept"}};
  EXPECT_EQ(create::string(arguments, "description")->data(),
            arguments["description"].get_ref<const std::string&>().data());
}

}  // namespace
