#include "reading.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;
using Lines = std::vector<std::string>;

const std::string items_route = "board/projects/P1/work-items?limit=100&include=comments&boardId=B1";
const std::string team_route = "projects/P1/team";
const std::string pages_route = "docs/projects/P1/pages";
const std::string summary_head = "Board summary (show openStories and openStoriesAssignedToYou in the user language): ";
const std::string docs_head = "\nProject docs (shared across this project's boards):\n";
const std::string docs_tail =
    "Approved [Design], [Architecture] and [Sequence] pages constrain implementation. Read relevant pages before "
    "work.\n";
const std::string ambiguous = "Page title is missing or ambiguous. Use its ID.";
const std::string bad_metadata = "Invalid page metadata; cannot safely edit.";

// 2024-05-06T07:08:09.120Z
std::chrono::system_clock::time_point fixed_instant() {
  return std::chrono::system_clock::time_point{std::chrono::milliseconds{1714979289120}};
}

Json item(const std::string& id, const Json& extra) {
  Json out = {{"id", id}, {"boardId", "B1"}, {"comments", Json::array()}};
  out.update(extra);
  return out;
}

Json team(const Json& members = Json::array({Json{{"userId", "U1"}}, Json{{"userId", "U2"}}})) {
  return Json{{"projectId", "P1"}, {"currentUserId", "U1"}, {"members", members}};
}

std::string text(const ToolOutcome& outcome) { return outcome ? *outcome : "error: " + outcome.error(); }

class Reading : public ::testing::Test {
 protected:
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};
  Json board = {{"id", "B1"}, {"name", "Main"}, {"columns", Json::array()}};

  Reading() {
    app.write("board-token.txt", "board-secret\n");
    app.write("docs-token.txt", "docs-secret\n");
  }

  ToolOutcome briefing() {
    return reading::project_context(client, "P1", "B1", board, [] { return fixed_instant(); });
  }
  Lines sent() {
    Lines out = service.lines();
    service.clear_requests();
    return out;
  }
};

TEST_F(Reading, ListWorkItemsKeepsOnlyTheExactPhase) {
  const Json items =
      Json::array({item("W1", {{"phase", "review"}}), item("W2", {{"phase", "Review"}}), item("W3", Json::object()),
                   item("W4", {{"phase", 4}}), item("W5", {{"phase", "review"}})});
  service.on("GET", items_route, Reply::json(Json{{"items", items}, {"nextCursor", nullptr}}));
  struct Case {
    Json arguments;
    Lines ids;
  };
  const Lines all = {"W1", "W2", "W3", "W4", "W5"};
  const std::vector<Case> cases = {
      {Json::object(), all},
      {{{"phase", ""}}, all},
      {{{"phase", 7}}, all},
      {{{"phase", nullptr}}, all},
      {{{"phase", "review"}}, {"W1", "W5"}},
      {{{"phase", "Review"}}, {"W2"}},
      {{{"phase", "review "}}, {}},
      {{{"phase", "blocked"}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(json_text::compact(c.arguments));
    const ToolOutcome outcome = reading::list_work_items(client, "P1", "B1", c.arguments);
    ASSERT_TRUE(outcome) << outcome.error();
    const auto listed = json_text::parse(*outcome);
    ASSERT_TRUE(listed && listed->is_array());
    Lines ids;
    for (const Json& kept : *listed) ids.push_back(kept.value("id", ""));
    EXPECT_EQ(ids, c.ids);
    EXPECT_EQ(sent(), Lines{"GET " + items_route});
  }
}

TEST_F(Reading, ListWorkItemsPrintsWholeItemsPretty) {
  const Json comment = {{"body", "Looks \"fine\"/ok"}, {"id", "C1"}};
  service.on("GET", items_route,
             Reply::json(Json::array({item("W1", {{"phase", "uat"}, {"comments", Json::array({comment})}}),
                                      item("W2", {{"phase", "done"}})})));
  EXPECT_EQ(text(reading::list_work_items(client, "P1", "B1", {{"phase", "uat"}})),
            "[\n"
            "  {\n"
            "    \"boardId\": \"B1\",\n"
            "    \"comments\": [\n"
            "      {\n"
            "        \"body\": \"Looks \\\"fine\\\"/ok\",\n"
            "        \"id\": \"C1\"\n"
            "      }\n"
            "    ],\n"
            "    \"id\": \"W1\",\n"
            "    \"phase\": \"uat\"\n"
            "  }\n"
            "]");
  EXPECT_EQ(text(reading::list_work_items(client, "P1", "B1", {{"phase", "inbox"}})), "[]");
}

TEST_F(Reading, ListWorkItemsPassesListErrorsOn) {
  service.on("GET", items_route, Reply::json(Json::array({item("W1", {{"boardId", "B2"}})})));
  EXPECT_EQ(text(reading::list_work_items(client, "P1", "B1", Json::object())),
            "error: Board scope mismatch in API response; refusing to read or write across boards.");
  EXPECT_EQ(text(reading::list_work_items(client, "P1", "", Json::object())), "error: Invalid identifier.");
  EXPECT_EQ(sent(), Lines{"GET " + items_route});
}

TEST_F(Reading, ProjectContextBriefsSummaryPhasesAndDocs) {
  const Json items = Json::array({
      item("W1",
           {{"key", "DB-1"}, {"title", "Ship login"}, {"phase", "uat"}, {"type", "story"}, {"assigneeUserId", "U1"}}),
      item("W2", {{"reference", "R-2"}, {"title", "Old"}, {"phase", "done"}, {"type", "story"}}),
      item("W3",
           {{"key", ""}, {"reference", "R-3"}, {"title", "Triage"}, {"phase", "inbox"}, {"assigneeUserId", "U2"}}),
      item("W4", {{"key", "DB-4"}, {"phase", "in_progress"}, {"type", "Story"}, {"assigneeUserId", "U1"}}),
      item("W5", {{"title", "Fix"}, {"phase", "uat"}}),
  });
  service.on("GET", items_route, Reply::json(Json{{"items", items}}));
  service.on("GET", team_route, Reply::json(team()));
  service.on("GET", pages_route,
             Reply::json(Json{{"pages", Json::array({Json{{"id", "D1"}, {"kind", "Design"}, {"title", "System Design"}},
                                                     Json{{"id", "D2"}, {"title", "Notes"}}})}}));
  EXPECT_EQ(text(briefing()),
            summary_head +
                R"({"asOf":"2024-05-06T07:08:09.120+00:00","boardId":"B1","currentUserId":"U1","openStories":1,)"
                R"("openStoriesAssignedToYou":1,"openWorkItems":4,"openWorkItemsAssignedToYou":2})"
                "\n\n"
                "Work items by phase:\n"
                "[done]\nR-2 Old\n"
                "[in_progress]\nDB-4 \n"
                "[inbox]\nR-3 Triage\n"
                "[uat]\nDB-1 Ship login\n Fix\n" +
                docs_head + "D1 [Design] System Design\nD2 [] Notes\n" + docs_tail);
  EXPECT_EQ(sent(), (Lines{"GET " + items_route, "GET " + team_route, "GET " + pages_route}));
}

TEST_F(Reading, ProjectContextCarriesOnPastSummaryAndDocsFailures) {
  const std::string zero_summary =
      summary_head + R"({"asOf":"2024-05-06T07:08:09.120+00:00","boardId":"B1","currentUserId":"U1","openStories":0,)"
                     R"("openStoriesAssignedToYou":0,"openWorkItems":0,"openWorkItemsAssignedToYou":0})"
                     "\n\n";
  const Json pages = Json::array({Json{{"id", "D1"}, {"kind", "Design"}, {"title", "System Design"}}});
  struct Case {
    const char* name;
    Json items;
    Reply team_reply;
    Reply pages_reply;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"empty board, no pages", Json::array(), Reply::json(team()), Reply::json(Json::array()),
       zero_summary + "Work items by phase:\n(board empty)\n" + docs_head + "(no docs pages)\n" + docs_tail},
      {"directory refused", Json::array({item("W1", {{"key", "DB-1"}, {"title", "A"}, {"phase", "inbox"}})}),
       Reply::json(Json{{"message", "Not a member"}}, 403), Reply::json(pages),
       "Personal board summary unavailable: Veltrun API returned HTTP 403 for GET projects/P1/team: Not a member"
       "\n\nWork items by phase:\n[inbox]\nDB-1 A\n" +
           docs_head + "D1 [Design] System Design\n" + docs_tail},
      {"unclassifiable phases group apart",
       Json::array({item("W1", {{"key", "DB-1"}, {"title", "A"}, {"phase", "done"}}),
                    item("W2", {{"key", "DB-2"}, {"title", "B"}, {"phase", "blocked"}}),
                    item("W3", {{"key", "DB-3"}, {"title", "C"}}),
                    item("W4", {{"key", "DB-4"}, {"title", "D"}, {"phase", "Done"}}),
                    item("W5", {{"key", "DB-5"}, {"title", "E"}, {"phase", 3}}),
                    item("W6", {{"key", "DB-6"}, {"title", "F"}, {"phase", "\u00e9t\u00e9"}})}),
       Reply::json(team()), Reply::json(pages),
       "Personal board summary unavailable: Unknown item phase; cannot classify open items.\n\n"
       "Work items by phase:\n[]\nDB-3 C\nDB-5 E\n[Done]\nDB-4 D\n[blocked]\nDB-2 B\n[done]\nDB-1 A\n"
       "[\u00e9t\u00e9]\nDB-6 F\n" +
           docs_head + "D1 [Design] System Design\n" + docs_tail},
      {"docs unavailable", Json::array(), Reply::json(team()), Reply::json(Json{{"message", "Docs are off"}}, 503),
       zero_summary + "Work items by phase:\n(board empty)\n" + docs_head +
           "Docs unavailable: Veltrun API returned HTTP 503 for GET docs/projects/P1/pages: Docs are off\n"},
      {"page list without a list", Json::array(), Reply::json(team()), Reply::json(Json{{"pages", "none"}}),
       zero_summary + "Work items by phase:\n(board empty)\n" + docs_head +
           "Docs unavailable: Veltrun API response is missing the expected list.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Service row_service;
    Client row_client{app.path(), row_service.base_url()};
    row_service.on("GET", items_route, Reply::json(c.items));
    row_service.on("GET", team_route, c.team_reply);
    row_service.on("GET", pages_route, c.pages_reply);
    EXPECT_EQ(text(reading::project_context(row_client, "P1", "B1", board, [] { return fixed_instant(); })),
              c.expected);
    EXPECT_EQ(row_service.lines(), (Lines{"GET " + items_route, "GET " + team_route, "GET " + pages_route}));
  }
}

TEST_F(Reading, ProjectContextEndsAtAFailedItemList) {
  service.on("GET", items_route, Reply::json(Json{{"message", "Expired"}}, 401));
  const ToolOutcome outcome = briefing();
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(outcome.error().starts_with("AUTH_REQUIRED:")) << outcome.error();
  EXPECT_EQ(sent(), Lines{"GET " + items_route});
}

TEST_F(Reading, ListDocPagesPrintsPagesOrSaysThereAreNone) {
  service.on("GET", pages_route, Reply::json(Json{{"pages", Json::array()}}));
  EXPECT_EQ(text(reading::list_doc_pages(client, "P1")), "(no docs pages)");
  const Json page = {{"id", "D1"}, {"title", "\u0218tiri"}, {"version", 2}};
  service.on("GET", pages_route, Reply::json(Json::array({page})));
  EXPECT_EQ(text(reading::list_doc_pages(client, "P1")),
            "[\n  {\n    \"id\": \"D1\",\n    \"title\": \"\u0218tiri\",\n    \"version\": 2\n  }\n]");
  for (const fake::Request& request : service.requests()) {
    EXPECT_EQ(request.header("authorization"), "Bearer docs-secret");
  }
  service.on("GET", pages_route, Reply::raw(500, "<html>"));
  EXPECT_EQ(text(reading::list_doc_pages(client, "P1")),
            "error: Veltrun API returned HTTP 500 for GET docs/projects/P1/pages. No success or empty result can be "
            "inferred.");
}

Json valid_page(const std::string& id) {
  return Json{{"id", id}, {"projectId", "P1"}, {"version", 1}, {"title", "T"}, {"bodyMarkdown", ""}};
}

TEST_F(Reading, GetDocPageFindsByIdExactTitleOrUniqueFragment) {
  const Json pages = Json::array({
      Json{{"id", "D1"}, {"title", "System Design"}},
      Json{{"id", "D2"}, {"title", "Design"}},
      Json{{"id", "D3"}, {"title", "Design Review"}},
      Json{{"id", "D4"}, {"title", "\u0130stanbul Notes"}},
      Json{{"id", "D5"}, {"title", "\u039f\u0394\u039f\u03a3 \u03a7\u0391\u03a1\u03a4\u0397\u03a3"}},  // ΟΔΟΣ ΧΑΡΤΗΣ
      Json{{"id", "D6"}, {"title", "Runbook"}},
      Json{{"id", "D7"}, {"title", "Runbook"}},
      Json{{"id", "D8"}, {"title", 8}},
      Json{{"id", "bad.id"}, {"title", "Dotted"}},
      Json{{"title", "Orphan"}},
      Json{{"id", "Glossary"}, {"title", "Terms"}},
      Json{{"id", "G2"}, {"title", "Glossary"}},
  });
  service.on("GET", pages_route, Reply::json(Json{{"pages", pages}}));
  for (const char* id : {"D1", "D2", "D3", "D4", "D5", "D6", "D7", "D8", "Glossary", "G2"}) {
    service.on("GET", pages_route + "/" + id, Reply::json(Json{{"page", valid_page(id)}}));
  }
  struct Case {
    std::string page;
    std::string found;  // "" when the tool must fail
    std::string error;
  };
  const std::vector<Case> cases = {
      {"D3", "D3", ""},
      {"d3", "", ambiguous},  // ids match exactly only; the fragment search reads titles
      {"Terms", "Glossary", ""},
      // One page's id and another's title: the exact match is ambiguous, the fragment is not.
      {"Glossary", "G2", ""},
      {"Design", "D2", ""},  // exact, though two other titles contain it
      {"system", "D1", ""},
      {"REVIEW", "D3", ""},
      {" Design", "D1", ""},  // not trimmed: only "System Design" holds " design"
      {"design", "", ambiguous},
      {"Runbook", "", ambiguous},  // two exact titles
      {"book", "", ambiguous},
      {"Handbook", "", ambiguous},
      {"8", "", ambiguous},  // a numeric title is no text
      // U+0130 lower-cases to "i" + U+0307 under the full mapping.
      {"i\u0307stanbul", "D4", ""},
      {"\u0130STANBUL", "D4", ""},
      {"istanbul", "", ambiguous},
      // A word-final capital sigma lower-cases to U+03C2.
      {"\u039f\u0394\u039f\u03a3", "D5", ""},
      {"\u03bf\u03b4\u03bf\u03c2 \u03c7", "D5", ""},
      {"\u03bf\u03b4\u03bf\u03c3", "", ambiguous},
      {"dotted", "", "Invalid identifier."},
      {"Orphan", "", "Invalid identifier."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page);
    const ToolOutcome outcome = reading::get_doc_page(client, "P1", {{"page", c.page}});
    if (c.found.empty()) {
      EXPECT_EQ(text(outcome), "error: " + c.error);
      EXPECT_EQ(sent(), Lines{"GET " + pages_route});
    } else {
      EXPECT_EQ(text(outcome), "Page ID: " + c.found + "\nVersion: 1\nStatus: \n\n# T\n\n");
      EXPECT_EQ(sent(), (Lines{"GET " + pages_route, "GET " + pages_route + "/" + c.found}));
    }
  }
}

// Titles and arguments that repeat themselves, where a search that restarts
// wrongly after a partial match, or compares the wrong way round, goes astray.
TEST_F(Reading, GetDocPageFragmentSearchOnRepetitiveTitles) {
  const std::string run(std::size_t{1} << 20, 'a');
  struct Case {
    const char* name;
    std::vector<std::string> titles;  // of the pages D1, D2, ...
    std::string page;
    std::string found;  // "" when no single page holds it
  };
  const std::vector<Case> cases = {
      {"overlap after a partial match", {"aaaa", "aaab"}, "aab", "D2"},
      {"period of two", {"ababab", "abababc"}, "ABABC", "D2"},
      {"period of three", {"aabaabaab", "aabaabaac"}, "baac", "D2"},
      {"the fragment longer than every title", {"ab", "abc"}, "abcd", ""},
      {"a title inside the fragment", {"design"}, "system design", ""},
      {"a fragment past 256 bytes", {std::string(300, 'a'), std::string(299, 'a') + "b"},
       std::string(256, 'a') + "b", "D2"},
      {"a megabyte of a and a b at the end", {run, run + "b"}, run.substr(1) + "b", "D2"},
      {"a megabyte of a and no b", {run, run + "a"}, run.substr(1) + "b", ""},
      {"a megabyte of a in both", {run, run + "a"}, run.substr(1), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json pages = Json::array();
    for (std::size_t i = 0; i < c.titles.size(); ++i) {
      const std::string id = "D" + std::to_string(i + 1);
      pages.push_back(Json{{"id", id}, {"title", c.titles[i]}});
      service.on("GET", pages_route + "/" + id, Reply::json(Json{{"page", valid_page(id)}}));
    }
    service.on("GET", pages_route, Reply::json(Json{{"pages", pages}}));
    const ToolOutcome outcome = reading::get_doc_page(client, "P1", {{"page", c.page}});
    if (c.found.empty()) {
      EXPECT_EQ(text(outcome), "error: " + ambiguous);
    } else {
      EXPECT_EQ(text(outcome), "Page ID: " + c.found + "\nVersion: 1\nStatus: \n\n# T\n\n");
    }
    service.clear_requests();
  }
}

TEST_F(Reading, GetDocPageReadsTheListBeforeTheArgument) {
  for (const Json& arguments : {Json::object(), Json{{"page", ""}}, Json{{"page", 3}}, Json(nullptr)}) {
    SCOPED_TRACE(json_text::compact(arguments));
    service.on("GET", pages_route, Reply::json(Json::array()));
    EXPECT_EQ(text(reading::get_doc_page(client, "P1", arguments)), "error: page must not be empty.");
    EXPECT_EQ(sent(), Lines{"GET " + pages_route});
  }
  fake::Service failing;
  Client other{app.path(), failing.base_url()};
  failing.on("GET", pages_route, Reply::json(Json{{"message", "Gone"}}, 410));
  EXPECT_EQ(text(reading::get_doc_page(other, "P1", {{"page", ""}})),
            "error: Veltrun API returned HTTP 410 for GET docs/projects/P1/pages: Gone");
  EXPECT_EQ(failing.lines(), Lines{"GET " + pages_route});
}

TEST_F(Reading, GetDocPageChecksTheReturnedPage) {
  service.on("GET", pages_route, Reply::json(Json::array({Json{{"id", "D1"}, {"title", "System Design"}}})));
  const std::string route = pages_route + "/D1";
  const std::string head = R"({"page":{"id":"D1","projectId":"P1","title":"System Design","status":"draft",)";
  struct Case {
    const char* name;
    Reply reply;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"version 0", Reply::raw(200, head + R"("version":0}})", "application/json"), "error: " + bad_metadata},
      {"version -1", Reply::raw(200, head + R"("version":-1}})", "application/json"), "error: " + bad_metadata},
      {"version 2.0", Reply::raw(200, head + R"("version":2.0}})", "application/json"), "error: " + bad_metadata},
      {"version 1e2", Reply::raw(200, head + R"("version":1e2}})", "application/json"), "error: " + bad_metadata},
      {"version \"3\"", Reply::raw(200, head + R"("version":"3"}})", "application/json"), "error: " + bad_metadata},
      {"version null", Reply::raw(200, head + R"("version":null}})", "application/json"), "error: " + bad_metadata},
      {"version true", Reply::raw(200, head + R"("version":true}})", "application/json"), "error: " + bad_metadata},
      {"no version", Reply::raw(200, head + R"("x":1}})", "application/json"), "error: " + bad_metadata},
      {"other project", Reply::json(Json{{"page", {{"id", "D1"}, {"projectId", "P2"}, {"version", 1}}}}),
       "error: " + bad_metadata},
      {"no project", Reply::json(Json{{"page", {{"id", "D1"}, {"version", 1}}}}), "error: " + bad_metadata},
      {"other id", Reply::json(Json{{"page", {{"id", "D2"}, {"projectId", "P1"}, {"version", 1}}}}),
       "error: " + bad_metadata},
      {"page not an object", Reply::json(Json{{"page", "D1"}}), "error: " + bad_metadata},
      {"page null", Reply::json(Json{{"page", nullptr}}), "error: " + bad_metadata},
      {"no page member", Reply::json(valid_page("D1")), "error: Invalid page response."},
      {"an array", Reply::json(Json::array({Json{{"page", valid_page("D1")}}})), "error: Invalid page response."},
      {"204", Reply::empty(204), "error: Invalid page response."},
      {"not found", Reply::json(Json{{"message", "No such page"}}, 404),
       "error: Veltrun API returned HTTP 404 for GET docs/projects/P1/pages/D1: No such page"},
      {"largest unsigned version", Reply::raw(200, head + R"("version":18446744073709551615}})", "application/json"),
       "Page ID: D1\nVersion: 18446744073709551615\nStatus: draft\n\n# System Design\n\n"},
      // Past 64 bits the number is read as a float.
      {"version 2^64", Reply::raw(200, head + R"("version":18446744073709551616}})", "application/json"),
       "error: " + bad_metadata},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service.on("GET", route, c.reply);
    EXPECT_EQ(text(reading::get_doc_page(client, "P1", {{"page", "D1"}})), c.expected);
    const std::vector<fake::Request> requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].line(), "GET " + route);
    EXPECT_EQ(requests[1].header("authorization"), "Bearer docs-secret");
    service.clear_requests();
  }
}

TEST_F(Reading, GetDocPageShowsTheStoredBody) {
  service.on("GET", pages_route, Reply::json(Json::array({Json{{"id", "D1"}, {"title", "Plan"}}})));
  const Json base = {
      {"id", "D1"}, {"projectId", "P1"}, {"version", 7}, {"status", "approved"}, {"title", "Plan \u2014 v2"}};
  const std::string head = "Page ID: D1\nVersion: 7\nStatus: approved\n\n# Plan \u2014 v2\n\n";
  struct Case {
    const char* name;
    Json members;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"markdown wins", {{"bodyMarkdown", "## Steps\n\n1. Go\n"}, {"body", "Old"}}, head + "## Steps\n\n1. Go\n"},
      {"body stands in", {{"body", "Hello"}}, head + "Hello"},
      {"null markdown", {{"bodyMarkdown", nullptr}, {"body", "Hello"}}, head},
      {"numeric markdown", {{"bodyMarkdown", 5}, {"body", "Hello"}}, head},
      {"neither", Json::object(), head},
      {"no status, no title",
       {{"status", nullptr}, {"title", 1}, {"body", "x"}},
       "Page ID: D1\nVersion: 7\nStatus: \n\n# \n\nx"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json page = base;
    page.update(c.members);
    service.on("GET", pages_route + "/D1", Reply::json(Json{{"page", page}}));
    EXPECT_EQ(text(reading::get_doc_page(client, "P1", {{"page", "plan"}})), c.expected);
  }
}

}  // namespace
