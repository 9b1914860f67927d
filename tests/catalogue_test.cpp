#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool_table.hpp"

namespace {

Json* find_tool(Json& tools, std::string_view name) {
  for (Json& tool : tools) {
    if (tool.value("name", "") == name) return &tool;
  }
  return nullptr;
}

class Catalogue : public ::testing::Test {
 protected:
  // Non-const so that a missing member reads as null instead of failing hard.
  Json& tool(std::string_view name) {
    Json* found = find_tool(tools, name);
    if (!found) ADD_FAILURE() << "no tool " << name;
    return found ? *found : missing;
  }

  Json tools = tool_defs();
  Json missing = Json::object();
};

TEST_F(Catalogue, EighteenToolsInOrder) {
  std::vector<std::string> names;
  for (const Json& tool : tools) names.push_back(tool.value("name", ""));
  EXPECT_EQ(names, (std::vector<std::string>{"veltrun_login", "veltrun_session", "project_context", "list_doc_pages",
                                             "get_doc_page", "get_work_item", "list_work_items", "post_comment",
                                             "post_review", "resolve_finding", "update_phase", "create_work_item",
                                             "create_doc_page", "update_doc_page", "list_project_members",
                                             "board_summary", "assign_work_item", "work_item_time"}));
}

TEST_F(Catalogue, EveryToolHasNameDescriptionAndObjectSchema) {
  for (Json& tool : tools) {
    EXPECT_EQ(tool.size(), 3u) << tool["name"];
    EXPECT_TRUE(tool["description"].is_string()) << tool["name"];
    EXPECT_EQ(tool["inputSchema"]["type"], "object") << tool["name"];
    EXPECT_TRUE(tool["inputSchema"]["properties"].is_object()) << tool["name"];
  }
}

TEST_F(Catalogue, DescriptionLengthsInBytes) {
  const struct {
    const char* name;
    std::size_t bytes;
  } cases[] = {
      {"veltrun_login", 339}, {"veltrun_session", 349}, {"project_context", 243}, {"list_doc_pages", 49},
      {"get_doc_page", 61},   {"get_work_item", 256},   {"list_work_items", 94},  {"post_comment", 104},
      {"post_review", 337},   {"resolve_finding", 299}, {"update_phase", 95},     {"update_doc_page", 456},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool(c.name)["description"].get<std::string>().size(), c.bytes) << c.name;
  }
}

TEST_F(Catalogue, FiveEqualReferenceProperties) {
  const Json expected = {
      {"description",
       "Board key, e.g. DB-0013. Optional inside a Veltrun Team session \u2014 defaults to the tab's bound work item."},
      {"type", "string"},
  };
  EXPECT_EQ(expected["description"].get<std::string>().size(), 106u);
  for (const char* name : {"get_work_item", "post_comment", "post_review", "resolve_finding", "update_phase"}) {
    EXPECT_EQ(tool(name)["inputSchema"]["properties"]["reference"], expected) << name;
  }
}

TEST_F(Catalogue, RequiredOnlyWhereArgumentsAreRequired) {
  const struct {
    const char* name;
    Json required;  // null: no "required" member
  } cases[] = {
      {"veltrun_login", {"action"}},
      {"veltrun_session", {"action"}},
      {"project_context", nullptr},
      {"list_doc_pages", nullptr},
      {"get_doc_page", {"page"}},
      {"get_work_item", nullptr},
      {"list_work_items", nullptr},
      {"post_comment", {"body"}},
      {"post_review", {"verdict", "summary"}},
      {"resolve_finding", {"finding_id", "status"}},
      {"update_phase", {"phase"}},
      {"create_work_item", {"title"}},
      {"create_doc_page", {"title", "body_markdown"}},
      {"update_doc_page", {"page_id", "expected_version"}},
      {"list_project_members", nullptr},
      {"board_summary", nullptr},
      {"assign_work_item", {"assignee_user_id"}},
      {"work_item_time", nullptr},
  };
  for (const auto& c : cases) {
    Json& schema = tool(c.name)["inputSchema"];
    if (c.required.is_null()) {
      EXPECT_FALSE(schema.contains("required")) << c.name;
    } else {
      EXPECT_EQ(schema.value("required", Json()), c.required) << c.name;
    }
  }
  for (const char* name : {"project_context", "list_doc_pages", "list_project_members", "board_summary"}) {
    EXPECT_EQ(tool(name)["inputSchema"]["properties"], Json::object()) << name;
  }
}

TEST_F(Catalogue, CoreSchemasPrintExactly) {
  const struct {
    const char* name;
    const char* schema;
  } cases[] = {
      {"veltrun_session",
       R"({"properties":{"action":{"enum":["status","enable","disable","select"],"type":"string"},)"
       R"("board_id":{"description":"Exact ID from returned board choices.","type":"string"},)"
       R"("cwd":{"description":"Actual absolute conversation workspace; never infer from MCP launch cwd.",)"
       R"("type":"string"},"project_id":{"description":"Exact ID from returned project choices.",)"
       R"("type":"string"}},"required":["action"],"type":"object"})"},
      {"post_review", R"({"properties":{"findings":{"items":{"type":"string"},"type":"array"},"reference":)"
                      R"({"description":"Board key, e.g. DB-0013. Optional inside a Veltrun Team session )"
                      "\u2014"
                      R"( defaults to the tab's bound work item.","type":"string"},)"
                      R"("summary":{"description":"One line","type":"string"},)"
                      R"("verdict":{"enum":["approve","request_changes"],"type":"string"}},)"
                      R"("required":["verdict","summary"],"type":"object"})"},
      {"resolve_finding",
       R"({"properties":{"finding_id":{"description":"The finding's ID (UUID).","type":"string"},)"
       R"("note":{"description":"How it was verified; required when dismissing.","type":"string"},)"
       R"("reference":{"description":"Board key, e.g. DB-0013. Optional inside a Veltrun Team session )"
       "\u2014"
       R"( defaults to the tab's bound work item.","type":"string"},)"
       R"("status":{"enum":["fixed","resolved","dismissed"],"type":"string"}},)"
       R"("required":["finding_id","status"],"type":"object"})"},
      {"list_work_items",
       R"({"properties":{"phase":{"description":"Optional: inbox|refinement|in_progress|review|uat|done",)"
       R"("type":"string"}},"type":"object"})"},
      {"update_phase",
       R"({"properties":{"phase":{"enum":["inbox","refinement","in_progress","review","uat","done"],)"
       R"("type":"string"},"reason":{"type":"string"},"reference":{"description":"Board key, e.g. DB-0013. )"
       "Optional inside a Veltrun Team session \u2014 defaults to the tab's bound work item."
       R"(","type":"string"}},"required":["phase"],"type":"object"})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_text::compact(tool(c.name)["inputSchema"]), c.schema) << c.name;
  }
}

TEST_F(Catalogue, ModuleSchemasPrintExactly) {
  const struct {
    const char* name;
    const char* schema;
  } cases[] = {
      {"create_work_item",
       R"({"additionalProperties":false,"properties":{"description":{"description":)"
       R"("Requirement/specification text; Markdown supported.","type":"string"},)"
       R"("labels":{"items":{"minLength":1,"type":"string"},"type":"array"},)"
       R"("priority":{"default":"P2","enum":["P0","P1","P2","P3","P4"],"type":"string"},)"
       R"("title":{"minLength":1,"type":"string"},)"
       R"("type":{"default":"task","enum":["epic","story","feature","bug","task","research","architecture",)"
       R"("runbook","spike"],"type":"string"}},"required":["title"],"type":"object"})"},
      {"create_doc_page",
       R"({"additionalProperties":false,"properties":{"body_markdown":{"description":)"
       R"("Full Markdown content of the new draft.","type":"string"},"title":{"minLength":1,"type":"string"}},)"
       R"("required":["title","body_markdown"],"type":"object"})"},
      {"update_doc_page",
       R"({"additionalProperties":false,"anyOf":[{"required":["title"]},{"required":["body_markdown"]}],)"
       R"("properties":{"body_markdown":{"description":"Full replacement Markdown; omit to retain the current )"
       R"(body. Empty string intentionally clears it.","type":"string"},)"
       R"("change_summary":{"maxLength":500,"type":"string"},)"
       R"("expected_version":{"maximum":9007199254740990,"minimum":1,"type":"integer"},)"
       R"("page_id":{"minLength":1,"type":"string"},"title":{"minLength":1,"type":"string"}},)"
       R"("required":["page_id","expected_version"],"type":"object"})"},
      {"list_project_members", R"({"properties":{},"type":"object"})"},
      {"board_summary", R"({"properties":{},"type":"object"})"},
      {"assign_work_item",
       R"({"properties":{"assignee_user_id":{"description":"Exact userId from list_project_members, or null to )"
       R"(unassign.","type":["string","null"]},"reason":{"type":"string"},"reference":{"type":"string"}},)"
       R"("required":["assignee_user_id"],"type":"object"})"},
      {"work_item_time", R"({"properties":{"reference":{"type":"string"}},"type":"object"})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_text::compact(tool(c.name)["inputSchema"]), c.schema) << c.name;
  }
}

TEST_F(Catalogue, ModuleDescriptions) {
  const struct {
    const char* name;
    const char* description;
  } cases[] = {
      {"create_work_item",
       "Create a work item in Inbox on this session's resolved project and board. Requires a ready session. Use "
       "when the user asks to create/save a task, not merely to discuss one. Returns the created key and ID. Never "
       "retry a failed or uncertain write automatically; check for an existing result first."},
      {"list_project_members",
       "Read eligible active project members and authenticated currentUserId. Use exact IDs for assignment; never "
       "guess from a token."},
      {"board_summary",
       "Count open stories and all open work items on the selected board, and the subsets assigned to the "
       "authenticated user. Read-only; errors never mean zero."},
      {"assign_work_item",
       "Assign an item to an eligible project member, or clear its assignee with null. Changes only assignment; "
       "does not transfer claims, ownership, phase or notify by email. Explicit user assignment request required."},
      {"work_item_time",
       "Read cumulative calendar duration in each canonical phase, including reentries. Not active work or billable "
       "time. Current closed phase stops accumulating; incomplete history is labeled. Custom columns are grouped by "
       "canonical phase."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool(c.name)["description"], c.description) << c.name;
  }
  EXPECT_TRUE(tool("create_doc_page")["description"].get<std::string>().starts_with(
      "Create a root draft document, attributed to the agent, in the resolved project's SERVER-DEFAULT Docs space."));
}

TEST_F(Catalogue, EmDashPrintsAsUtf8) {
  const std::string printed = json_text::compact(tools);
  EXPECT_EQ(printed.find("\\u2014"), std::string::npos);
  std::size_t dashes = 0;
  for (std::size_t at = 0; (at = printed.find("\u2014", at)) != std::string::npos; at += 3) ++dashes;
  EXPECT_EQ(dashes, 6u);  // five reference properties and get_work_item's description
  EXPECT_NE(printed.find("The board is the source of truth \u2014 read this"), std::string::npos);
}

// What the server prints for "tools/list" is the catalogue as built anew.
TEST_F(Catalogue, ProcessCopiesMatchAFreshBuild) {
  EXPECT_EQ(tool_catalogue(), tools);
  EXPECT_EQ(printed_tools_result(), json_text::compact(Json{{"tools", tools}}));
}

}  // namespace
