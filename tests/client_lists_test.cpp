#include <gtest/gtest.h>

#include "client.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

constexpr const char* missing_list = "Veltrun API response is missing the expected list.";
constexpr const char* board_mismatch = "Board scope mismatch in API response; refusing to read or write across boards.";
constexpr const char* invalid_cursor = "Invalid pagination cursor.";
constexpr const char* invalid_identifier = "Invalid identifier.";

const std::string first_page = "board/projects/P1/work-items?limit=100&include=comments&boardId=B1";

std::string text_of(const Result<std::vector<Json>>& result) {
  return result ? "value " + json_text::compact(Json(*result)) : "error " + result.error();
}

Json item(const std::string& id, const Json& board = "B1") { return Json{{"id", id}, {"boardId", board}}; }

class ListsTest : public testing::Test {
 protected:
  ListsTest() {
    dir.write("board-token.txt", "board-secret");
    dir.write("docs-token.txt", "docs-secret");
  }

  Result<std::vector<Json>> board_items() const { return client.items_including("P1", "B1", "comments"); }

  fake::Service service;
  TempDir dir;
  Client client{dir.path(), service.base_url()};
};

struct ExtractionCase {
  const char* name;
  fake::Reply reply;
  Result<std::vector<Json>> expected;
};

TEST(ServiceLists, FindTheListBareOrUnderTheFirstArrayKey) {
  const Json a = {{"id", "A"}};
  const Json b = {{"id", "B"}};
  const std::vector<ExtractionCase> cases = {
      {"bare array", fake::Reply::json(Json::array({a, b})), std::vector<Json>{a, b}},
      {"empty array", fake::Reply::json(Json::array()), std::vector<Json>{}},
      {"items", fake::Reply::json(Json{{"items", Json::array({a})}}), std::vector<Json>{a}},
      {"workItems", fake::Reply::json(Json{{"workItems", Json::array({a})}}), std::vector<Json>{a}},
      {"work_items", fake::Reply::json(Json{{"work_items", Json::array({a})}}), std::vector<Json>{a}},
      {"data", fake::Reply::json(Json{{"data", Json::array({a})}}), std::vector<Json>{a}},
      {"results", fake::Reply::json(Json{{"results", Json::array({a})}}), std::vector<Json>{a}},
      {"items before results", fake::Reply::json(Json{{"results", Json::array({b})}, {"items", Json::array({a})}}),
       std::vector<Json>{a}},
      {"non-array key passed over", fake::Reply::json(Json{{"items", "x"}, {"data", Json::array({b})}}),
       std::vector<Json>{b}},
      {"no known key", fake::Reply::json(Json{{"projects", Json::array({a})}}), std::unexpected(missing_list)},
      {"204", fake::Reply::empty(204), std::unexpected(missing_list)},
      {"a number", fake::Reply::json(Json(7)), std::unexpected(missing_list)},
      {"a string", fake::Reply::json(Json("items")), std::unexpected(missing_list)},
  };
  for (const ExtractionCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    TempDir dir;
    dir.write("board-token.txt", "t");
    service.on("GET", "board/projects/P1/work-items?limit=100", row.reply);
    Client client{dir.path(), service.base_url()};
    EXPECT_EQ(text_of(client.items_including("P1", std::nullopt, "")), text_of(row.expected));
  }
}

TEST_F(ListsTest, EachListHasItsPathKeyAndCredential) {
  service.on("GET", "docs/projects/P1/pages", fake::Reply::json(Json{{"pages", Json::array({"p"})}}));
  service.on("GET", "board/projects/P1/boards", fake::Reply::json(Json{{"boards", Json::array({"b"})}}));
  service.on("GET", "board/projects/P2/boards", fake::Reply::json(Json{{"items", Json::array({"b"})}}));
  service.on("GET", "board/projects", fake::Reply::json(Json{{"projects", Json::array({Json{{"id", "P1"}}})}}));
  service.on("GET", "board/projects/P1/work-items?limit=100&include=events",
             fake::Reply::json(Json{{"items", Json::array({item("W1", "any")})}}));

  EXPECT_EQ(text_of(client.pages("P1")), "value [\"p\"]");
  EXPECT_EQ(text_of(client.boards("P1")), "value [\"b\"]");
  EXPECT_EQ(text_of(client.boards("P2")), std::string("error ") + missing_list);
  EXPECT_EQ(text_of(client.projects()), "value [{\"id\":\"P1\"}]");
  EXPECT_EQ(text_of(client.items_including("P1", std::nullopt, "events")),
            "value [{\"boardId\":\"any\",\"id\":\"W1\"}]");

  std::vector<std::string> credentials;
  for (const auto& request : service.requests()) credentials.push_back(request.header("authorization"));
  EXPECT_EQ(service.lines(), (std::vector<std::string>{"GET docs/projects/P1/pages", "GET board/projects/P1/boards",
                                                       "GET board/projects/P2/boards", "GET board/projects",
                                                       "GET board/projects/P1/work-items?limit=100&include=events"}));
  EXPECT_EQ(credentials, (std::vector<std::string>{"Bearer docs-secret", "Bearer board-secret", "Bearer board-secret",
                                                   "Bearer board-secret", "Bearer board-secret"}));
}

TEST_F(ListsTest, BadIdsFailBeforeAnyRequest) {
  for (const char* id : {"", "P 1", "P.1", "\u00e9", "P1/../x"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(text_of(client.items_including(id, std::nullopt, "")), std::string("error ") + invalid_identifier);
    EXPECT_EQ(text_of(client.items_including("P1", std::string_view(id), "")),
              std::string("error ") + invalid_identifier);
    EXPECT_EQ(text_of(client.pages(id)), std::string("error ") + invalid_identifier);
    EXPECT_EQ(text_of(client.boards(id)), std::string("error ") + invalid_identifier);
  }
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(ListsTest, PagesFollowTheLastItemIdNotNextCursor) {
  service.on("GET", first_page,
             fake::Reply::json(Json{{"items", Json::array({item("W1"), item("W9")})}, {"nextCursor", "opaque"}}));
  service.on("GET", first_page + "&cursor=W9",
             fake::Reply::json(Json{{"workItems", Json::array({item("W10")})}, {"nextCursor", ""}}));
  service.on("GET", first_page + "&cursor=W10",
             fake::Reply::json(Json{{"items", Json::array({item("W11")})}, {"nextCursor", nullptr}}));
  EXPECT_EQ(text_of(board_items()),
            "value " + json_text::compact(Json::array({item("W1"), item("W9"), item("W10"), item("W11")})));
  EXPECT_EQ(service.lines(), (std::vector<std::string>{
                                 "GET board/projects/P1/work-items?limit=100&include=comments&boardId=B1",
                                 "GET board/projects/P1/work-items?limit=100&include=comments&boardId=B1&cursor=W9",
                                 "GET board/projects/P1/work-items?limit=100&include=comments&boardId=B1&cursor=W10"}));
}

TEST_F(ListsTest, NextCursorThatIsNoStringEndsTheListing) {
  for (const Json& next : {Json(nullptr), Json(3), Json::object(), Json::array({"W2"})}) {
    SCOPED_TRACE(json_text::compact(next));
    fake::Service one;
    one.on("GET", "board/projects/P1/work-items?limit=100",
           fake::Reply::json(Json{{"items", Json::array({item("W1")})}, {"nextCursor", next}}));
    Client scoped{dir.path(), one.base_url()};
    EXPECT_EQ(text_of(scoped.items_including("P1", std::nullopt, "")),
              "value [" + json_text::compact(item("W1")) + "]");
    EXPECT_EQ(one.requests().size(), 1u);
  }
}

struct PagingCase {
  const char* name;
  std::vector<fake::Reply> pages;  // first page, then the page after cursor W9
  const char* error;
  std::size_t requests;
};

TEST(ServiceLists, InconsistentPagesFailTheWholeListing) {
  const Json more = "more";
  auto page = [](Json items, Json next) {
    return fake::Reply::json(Json{{"items", std::move(items)}, {"nextCursor", next}});
  };
  const std::vector<PagingCase> cases = {
      {"empty page with a cursor", {page(Json::array(), more)}, invalid_cursor, 1},
      {"last item without id", {page(Json::array({item("W1"), Json{{"boardId", "B1"}}}), more)}, invalid_cursor, 1},
      {"last item id a number", {page(Json::array({Json{{"id", 9}, {"boardId", "B1"}}}), more)}, invalid_cursor, 1},
      {"last item id empty", {page(Json::array({item("")}), more)}, invalid_cursor, 1},
      {"cursor repeated",
       {page(Json::array({item("W9")}), more), page(Json::array({item("W9")}), more)},
       invalid_cursor,
       2},
      {"cursor breaks the identifier rule", {page(Json::array({item("W.9")}), more)}, invalid_identifier, 1},
      {"item without boardId", {page(Json::array({Json{{"id", "W1"}}}), nullptr)}, board_mismatch, 1},
      {"boardId not a string", {page(Json::array({item("W1", 1)}), nullptr)}, board_mismatch, 1},
      {"boardId of another board", {page(Json::array({item("W1"), item("W2", "B2")}), nullptr)}, board_mismatch, 1},
      {"boardId differs in case", {page(Json::array({item("W1", "b1")}), nullptr)}, board_mismatch, 1},
      {"bare array is still checked", {fake::Reply::json(Json::array({item("W1", "B2")}))}, board_mismatch, 1},
      {"second page out of scope",
       {page(Json::array({item("W9")}), more), page(Json::array({item("X", "B2")}), nullptr)},
       board_mismatch,
       2},
      {"second page fails",
       {page(Json::array({item("W9")}), more), fake::Reply::json(Json::object(), 500)},
       "Veltrun API returned HTTP 500 for GET "
       "board/projects/P1/work-items?limit=100&include=comments&boardId=B1&cursor=W9. No success or empty result "
       "can be inferred.",
       2},
      {"second page without list", {page(Json::array({item("W9")}), more), fake::Reply::empty(204)}, missing_list, 2},
  };
  for (const PagingCase& row : cases) {
    SCOPED_TRACE(row.name);
    fake::Service service;
    TempDir dir;
    dir.write("board-token.txt", "t");
    service.on("GET", first_page, row.pages[0]);
    if (row.pages.size() > 1) service.on("GET", first_page + "&cursor=W9", row.pages[1]);
    Client client{dir.path(), service.base_url()};
    EXPECT_EQ(text_of(client.items_including("P1", "B1", "comments")), std::string("error ") + row.error);
    EXPECT_EQ(service.requests().size(), row.requests);
  }
}

TEST_F(ListsTest, WithoutABoardItemsOfAnyBoardAreKept) {
  service.on("GET", "board/projects/P1/work-items?limit=100&include=comments",
             fake::Reply::json(Json::array({Json{{"id", "W1"}}, item("W2", "B7")})));
  EXPECT_EQ(text_of(client.items_including("P1", std::nullopt, "comments")),
            "value [{\"id\":\"W1\"},{\"boardId\":\"B7\",\"id\":\"W2\"}]");
}

TEST_F(ListsTest, ErrorsOfTheRequestPassUnchanged) {
  TempDir empty;
  Client anonymous{empty.path(), service.base_url()};
  const std::string unavailable = "error AUTH_REQUIRED: Token unavailable. Use veltrun_login after session opt-in.";
  EXPECT_EQ(text_of(anonymous.projects()), unavailable);
  EXPECT_EQ(text_of(anonymous.boards("P1")), unavailable);
  EXPECT_EQ(text_of(anonymous.items_including("P1", "B1", "")), unavailable);
  service.on("GET", "docs/projects/P1/pages", fake::Reply::json(Json{{"message", "gone"}}, 410));
  EXPECT_EQ(text_of(client.pages("P1")), "error Veltrun API returned HTTP 410 for GET docs/projects/P1/pages: gone");
}

TEST_F(ListsTest, ProjectsTakeRepoPathFromTheFirstMatchingRegistryEntry) {
  dir.write("projects.json", json_text::compact(Json::array({
                                 Json{{"id", 5}, {"repoPath", "/numeric-id"}},
                                 Json{{"id", "P1"}, {"repoPath", "/first"}},
                                 Json{{"id", "P1"}, {"repoPath", "/second"}},
                                 Json{{"id", "P2"}},
                                 Json{{"id", "P3"}, {"repoPath", Json{{"nested", 1}}}},
                                 Json{{"id", "P4"}, {"repoPath", 12}},
                                 "not an entry",
                             })));
  service.on("GET", "board/projects",
             fake::Reply::json(Json{{"projects", Json::array({
                                                     Json{{"id", "P1"}, {"name", "One"}, {"repoPath", "/service"}},
                                                     Json{{"id", "P2"}, {"repoPath", "/service"}},
                                                     Json{{"id", "P3"}},
                                                     Json{{"id", "P4"}},
                                                     Json{{"id", "P5"}, {"repoPath", "/kept"}},
                                                     Json{{"id", "P6"}},
                                                 })}}));
  const auto projects = client.projects();
  ASSERT_TRUE(projects) << projects.error();
  EXPECT_EQ(Json(*projects), Json::array({
                                 Json{{"id", "P1"}, {"name", "One"}, {"repoPath", "/first"}},
                                 Json{{"id", "P2"}, {"repoPath", nullptr}},
                                 Json{{"id", "P3"}, {"repoPath", Json{{"nested", 1}}}},
                                 Json{{"id", "P4"}, {"repoPath", 12}},
                                 Json{{"id", "P5"}, {"repoPath", "/kept"}},
                                 Json{{"id", "P6"}},
                             }));
}

TEST_F(ListsTest, UnusableRegistryLeavesProjectsAsSent) {
  const Json sent = Json::array({Json{{"id", "P1"}, {"repoPath", "/service"}}, Json{{"id", "P2"}}});
  service.on("GET", "board/projects", fake::Reply::json(sent));
  for (const std::optional<std::string>& registry :
       {std::optional<std::string>(), std::optional<std::string>("{\"id\":\"P1\",\"repoPath\":\"/x\"}"),
        std::optional<std::string>("not json"), std::optional<std::string>("[{\"id\":\"P1\"}] \xff")}) {
    SCOPED_TRACE(registry.value_or("<missing>"));
    TempDir app;
    app.write("board-token.txt", "t");
    if (registry) app.write("projects.json", *registry);
    Client scoped{app.path(), service.base_url()};
    EXPECT_EQ(text_of(scoped.projects()), "value " + json_text::compact(sent));
  }
}

TEST_F(ListsTest, OneBadServiceProjectIdFailsTheList) {
  for (const Json& bad : {Json(7), Json("P 1"), Json(""), Json(nullptr)}) {
    SCOPED_TRACE(json_text::compact(bad));
    fake::Service one;
    one.on("GET", "board/projects", fake::Reply::json(Json::array({Json{{"id", "P1"}}, Json{{"id", bad}}})));
    Client scoped{dir.path(), one.base_url()};
    EXPECT_EQ(text_of(scoped.projects()), std::string("error ") + invalid_identifier);
  }
  fake::Service one;
  one.on("GET", "board/projects", fake::Reply::json(Json::array({Json{{"id", "P1"}}, Json{{"name", "no id"}}, "x"})));
  Client scoped{dir.path(), one.base_url()};
  EXPECT_EQ(text_of(scoped.projects()), std::string("error ") + invalid_identifier);
}

}  // namespace
