// What one tool call may hold and print, whatever the service sends: the
// tools that use one item or counts walk a board of any size, a listing that
// keeps every item stops at its bounds, a reply never outgrows its bound, and
// running out of memory ends the call alone.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "client.hpp"
#include "dispatch.hpp"
#include "server.hpp"
#include "session.hpp"
#include "temp_dir.hpp"
#include "tool_outcome.hpp"

namespace {

constexpr std::string_view api = "https://veltrun.test/api/";
const std::string items_path = "board/projects/P1/work-items?limit=100";

// The number n of the page a work-item request asks for: 1 without a
// cursor, else one more than the "W{n}" it names.
std::size_t page_number(const std::string& path) {
  const auto cursor = path.find("&cursor=W");
  return cursor == std::string::npos ? 1 : std::stoul(path.substr(cursor + 9)) + 1;
}

// A board served through the transport seam: the session's requests, the
// team, and work-item pages made by page(n), the last one pages().
class BoardService {
 public:
  std::function<std::string(std::size_t)> page;
  std::size_t pages = 1;
  std::map<std::string, std::string> answers = {
      {"board/projects", R"([{"id":"P1","name":"Alpha"}])"},
      {"board/projects/P1/boards", R"([{"id":"B1","name":"Main","columns":[]}])"},
      {"projects/P1/team", R"({"currentUserId":"u1","members":[{"userId":"u1"}],"projectId":"P1"})"},
  };
  std::vector<std::string> paths;
  std::vector<std::chrono::milliseconds> timeouts;  // what each request was given
  std::function<void(const std::string&)> before_answer = [](const std::string&) {};
  // Runs instead of the answer when it returns one: for requests that time out.
  std::function<std::optional<HttpAnswer>(const HttpExchange&)> instead = [](const HttpExchange&) {
    return std::nullopt;
  };
  login::Clock::time_point clock{};

  TempDir dir;
  Client client{dir.path(), std::string(api.substr(0, api.size() - 1)),
                ClientHooks{.now = [this] { return clock; },
                            .transport = [this](const HttpExchange& request) { return answer(request); }}};
  Session session;

  BoardService() {
    dir.write("board-token.txt", "board-secret");
    dir.write("docs-token.txt", "docs-secret");
  }

  void make_ready() {
    ASSERT_TRUE(call("veltrun_session", {{"action", "enable"}, {"project_id", "P1"}}));
    paths.clear();
  }
  ToolOutcome call(std::string_view name, const Json& arguments = Json::object()) {
    return call_tool(session, client, name, arguments);
  }
  // The one reply line the server prints for a tools/call of the tool.
  std::string reply_line(int id, std::string_view name, const Json& arguments = Json::object()) {
    std::vector<std::string> lines;
    const server::ReplySink sink = [&](std::string_view line) -> std::expected<void, std::string> {
      lines.emplace_back(line);
      return {};
    };
    const Json request = {{"id", id},
                          {"jsonrpc", "2.0"},
                          {"method", "tools/call"},
                          {"params", {{"name", name}, {"arguments", arguments}}}};
    if (!server::answer(request, sink, session, client) || lines.size() != 1) return "not one reply line";
    return lines.front();
  }
  // The text of that reply, after "error: " for an error.
  std::string reply_text(std::string_view name, const Json& arguments = Json::object()) {
    const Json reply = Json::parse(reply_line(1, name, arguments));
    const Json& result = reply.at("result");
    return (result.at("isError").get<bool>() ? "error: " : "") +
           result.at("content").at(0).at("text").get<std::string>();
  }
  std::size_t item_pages_read() const {
    return std::count_if(paths.begin(), paths.end(), [](const std::string& p) { return p.starts_with(items_path); });
  }

 private:
  HttpAnswer answer(const HttpExchange& request) {
    const std::string path = request.url.substr(api.size());
    paths.push_back(path);
    timeouts.push_back(request.timeout);
    before_answer(path);
    if (auto replaced = instead(request)) return *replaced;
    if (path.starts_with(items_path)) {
      const std::size_t n = page_number(path);
      std::string body = page(n);
      const std::string cursor = n < pages ? R"("")" : "null";
      return HttpReply{.status = 200, .body = R"({"items":[)" + body + R"(],"nextCursor":)" + cursor + "}"};
    }
    if (path.ends_with("/comments")) return HttpReply{.status = 200, .body = "[]"};
    if (path.ends_with("/review-findings")) return HttpReply{.status = 200, .body = R"({"findings":[]})"};
    const auto found = answers.find(path.substr(0, path.find('?')));
    if (found == answers.end()) return HttpReply{.status = 404, .body = ""};
    return HttpReply{.status = 200, .body = found->second};
  }
};

// One closed item "W{n}" on B1, with extra members (JSON text) after its own.
std::string item(std::size_t n, const std::string& extra = "") {
  return R"({"boardId":"B1","createdAt":"2026-01-01T00:00:00Z","events":[],"id":"W)" + std::to_string(n) +
         R"(","key":"DB-)" + std::to_string(n) + R"(","phase":"done","title":"Item )" + std::to_string(n) + "\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}

std::string text(const ToolOutcome& outcome) { return outcome ? *outcome : "error: " + outcome.error(); }

// 40 pages of one item holding 100,000 values: more than a kept listing may
// hold, while the tools that keep one item or counts read every page.
TEST(CallBounds, OnlyTheListingThatKeepsEveryItemIsBoundByTheBoardsSize) {
  std::string filler = R"("filler":[0)";
  for (int i = 1; i < 100'000; ++i) filler += ",0";
  filler += "]";
  BoardService board;
  board.page = [&](std::size_t n) { return item(n, filler); };
  board.pages = client_http::max_list_values / 100'000;
  board.make_ready();

  EXPECT_EQ(text(board.call("list_work_items")), "error: " + client_http::list_too_large());
  EXPECT_EQ(board.item_pages_read(), board.pages);

  const Json middle = {{"reference", "DB-5"}};
  for (const auto& [tool, arguments] :
       std::vector<std::pair<std::string, Json>>{{"get_work_item", middle}, {"board_summary", {}}}) {
    SCOPED_TRACE(tool);
    board.paths.clear();
    const ToolOutcome outcome = board.call(tool, arguments);
    ASSERT_TRUE(outcome) << outcome.error().substr(0, 300);
    EXPECT_EQ(board.item_pages_read(), board.pages);
    if (tool == "get_work_item") {
      EXPECT_NE(outcome->find(R"("key": "DB-5")"), std::string::npos);
    }
  }
}

// An item of B1 with that id and phase, with further members (JSON text).
std::string item_with(const std::string& id, std::string_view phase, const std::string& extra = "") {
  return R"({"boardId":"B1","id":")" + id + R"(","phase":")" + std::string(phase) + "\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}

// "W{page}-{i}-" padded to bytes: still the cursor of page + 1.
std::string long_id(std::size_t page, std::size_t i, std::size_t bytes) {
  const std::string head = "W" + std::to_string(page) + "-" + std::to_string(i) + "-";
  return head + std::string(bytes - head.size(), 'i');
}

// Whatever a walk keeps as the pages go by counts against the list bounds,
// and only that: the items of a filtered listing, the cursors of every walk.
// (What a board count keeps is counted in tracking_test.)
TEST(CallBounds, WhatIsKeptCountsAgainstTheListBounds) {
  using client_http::kept_entry_bytes;
  struct Case {
    const char* name;
    std::size_t pages;
    std::function<std::string(std::size_t)> page;
    std::string tool;
    Json arguments;
    std::string expected;  // the error, or what the reply's text holds
    std::size_t read;      // pages
  };
  const std::string too_large = "error: " + client_http::list_too_large();
  // Pages of one closed item of a little over 100,000 values, past the value
  // bound together, and one small item in "uat" on page 20.
  std::string filler = R"("filler":[0)";
  for (int i = 1; i < 100'000; ++i) filler += ",0";
  filler += "]";
  const std::size_t filled_pages = client_http::max_list_values / 100'000;
  const auto filled = [&filler](std::size_t n) {
    return item(n, filler) + (n == 20 ? "," + item_with("W20u", "uat") : "");
  };
  // One open item a page, whose 1 MiB id is the next page's cursor.
  constexpr std::size_t cursor_bytes = std::size_t{1} << 20;
  const auto long_cursors = [](std::size_t n) { return item_with(long_id(n, 0, cursor_bytes), "inbox"); };
  const std::size_t cursor_pages = client_http::max_list_cursor_bytes / kept_entry_bytes(cursor_bytes) + 1;
  const std::vector<Case> cases = {
      {"a filtered listing keeps its few items",
       filled_pages,
       filled,
       "list_work_items",
       {{"phase", "uat"}},
       "\n\n[\n  {\n    \"boardId\": \"B1\",\n    \"id\": \"W20u\",\n    \"phase\": \"uat\"\n  }\n]",
       filled_pages},
      {"the unfiltered listing keeps them all", filled_pages, filled, "list_work_items", Json::object(), too_large,
       filled_pages},
      {"a walk keeps every cursor",
       cursor_pages + 1,
       long_cursors,
       "get_work_item",
       {{"reference", "W1"}},
       too_large,
       cursor_pages},
      {"a count keeps every cursor", cursor_pages + 1, long_cursors, "board_summary", Json::object(), too_large,
       cursor_pages},
      {"cursors within the bound", cursor_pages, long_cursors, "board_summary", Json::object(),
       R"("openWorkItems":)" + std::to_string(cursor_pages) + ",", cursor_pages},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoardService board;
    board.pages = c.pages;
    board.page = c.page;
    board.make_ready();
    const std::string outcome = text(board.call(c.tool, c.arguments));
    if (c.expected.starts_with("error: ")) {
      EXPECT_EQ(outcome, c.expected);
    } else {
      EXPECT_NE(outcome.find(c.expected), std::string::npos) << outcome.substr(0, 300);
    }
    EXPECT_EQ(board.item_pages_read(), c.read);
  }
}

// The reference is decided over every page, as if they were one list.
TEST(CallBounds, ReferenceMatchesAreCountedAcrossPages) {
  BoardService board;
  board.pages = 3;
  // "DB-1" is the key of W1 and the reference of W3: ambiguous only once the
  // last page is read. "DB-2" is found on page 2 alone.
  board.page = [](std::size_t n) { return n == 3 ? item(3, R"("reference":"DB-1")") : item(n); };
  board.make_ready();
  EXPECT_EQ(text(board.call("get_work_item", {{"reference", "DB-1"}})),
            "error: Reference 'DB-1' is missing or ambiguous in the selected scope.");
  EXPECT_EQ(text(board.call("get_work_item", {{"reference", "DB-9"}})),
            "error: Reference 'DB-9' is missing or ambiguous in the selected scope.");
  EXPECT_EQ(text(board.call("get_work_item", {{"reference", ""}})), "error: A nonempty reference is required.");
  board.paths.clear();
  EXPECT_TRUE(board.call("get_work_item", {{"reference", "DB-2"}}));
  EXPECT_EQ(board.item_pages_read(), 3u);
}

constexpr std::string_view too_large = "error: The result is larger than one reply may hold (67108864 bytes).";
constexpr std::string_view not_created =
    " Creation is not confirmed. Do not retry automatically: check the destination for an existing result first.";

// A field of zeros nested 120 deep is a few hundred KB of JSON but 75 MB once
// indented (a few million zeros would be gigabytes): printing stops at the
// reply bound, and the sentence offers a narrower call where there is one.
TEST(CallBounds, ResultsPastTheReplyBoundFailWithTheirSentence) {
  std::string nested = std::string(120, '[') + "0";
  const std::size_t zeros = 300'000;
  for (std::size_t i = 1; i < zeros; ++i) nested += ",0";
  nested += std::string(120, ']');
  BoardService board;
  board.page = [&](std::size_t n) { return item(n, R"("field":)" + nested); };
  board.make_ready();
  EXPECT_EQ(board.reply_text("list_work_items"),
            std::string(too_large) +
                " List one phase at a time with the phase argument, read one work item with get_work_item, or the "
                "board's counts with board_summary.");
  EXPECT_EQ(board.reply_text("get_work_item", {{"reference", "DB-1"}}), too_large);
  // The same item is counted as any other.
  EXPECT_TRUE(board.call("board_summary"));

  // A creation past the bound was carried out all the same: never again.
  board.answers["board/projects/P1/work-items"] = R"({"workItem":{"boardId":"B1","field":)" + nested +
                                                  R"(,"id":"W9","key":"DB-9","projectId":"P1","title":"New"}})";
  board.paths.clear();
  EXPECT_EQ(board.reply_text("create_work_item", {{"title", "New"}}),
            std::string(too_large) + std::string(not_created));
  EXPECT_EQ(std::count(board.paths.begin(), board.paths.end(), "board/projects/P1/work-items"), 1);
}

// 20 Mi escaped quotation marks: 40 MiB in the answer and in the indented
// text, 80 MiB once the text is escaped again in the reply line.
std::string escaped_quotes() {
  std::string text(std::size_t{40} << 20, '"');
  for (std::size_t i = 0; i < text.size(); i += 2) text[i] = '\\';
  return text;
}

// The reply line is bounded once, as printed: a text within the bound may
// escape past it.
TEST(CallBounds, ReplyLinePastTheBoundIsTheSentence) {
  BoardService board;
  board.page = [](std::size_t n) { return item(n); };
  board.answers["docs/projects/P1/pages"] = R"({"pages":[{"id":"D1","title":")" + escaped_quotes() + "\"}]}";
  board.make_ready();
  EXPECT_EQ(board.reply_line(7, "list_doc_pages"),
            R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"The result is larger than one reply may hold )"
            R"((67108864 bytes). Read one page by its ID or title with get_doc_page.","type":"text"}],)"
            R"("isError":true}})");
}

// The payload is {"sub":"user-1"}: the automatic assignment has a subject.
constexpr const char* board_jwt = "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ1c2VyLTEifQ.signature";

// One open, unassigned item W1 "DB-1", with every write it may get answered
// as done: a phase change to in_progress also assigns it.
void serve_writes(BoardService& board, const std::string& echoed_title) {
  board.page = [](std::size_t) { return item(1, R"("assigneeUserId":null)"); };
  board.dir.write("board-token.txt", board_jwt);
  const std::string path = "board/projects/P1/work-items";
  board.answers[path] =
      R"({"workItem":{"boardId":"B1","id":"W9","key":"DB-9","projectId":"P1","title":")" + echoed_title + "\"}}";
  board.answers[path + "/W1/comments"] = "{}";
  board.answers[path + "/W1/phase"] = "{}";
  board.answers[path + "/W1/assignment"] =
      R"({"workItem":{"assigneeUserId":"user-1","boardId":"B1","id":"W1","projectId":"P1"}})";
  board.answers["docs/projects/P1/pages"] =
      R"({"pages":[{"id":"D1","kind":"document","projectId":"P1","title":"Old","version":1}]})";
  board.answers["docs/projects/P1/pages/D1"] =
      R"({"page":{"bodyMarkdown":"","id":"D1","projectId":"P1","status":"draft","title":"Old","version":1}})";
}

// Whatever makes a write's reply too large, the reply still says what was
// written: the write was carried out, so it must not be sent again.
// One case a test: each builds replies of tens of MiB, slow under the sanitizers.
class WritesPastTheReplyBound : public testing::TestWithParam<std::size_t> {};

TEST_P(WritesPastTheReplyBound, KeepWhatTheyWrote) {
  const std::string quotes = escaped_quotes();
  const std::string title(quotes.size() / 2, '"');  // what quotes reads as
  const std::string in_progress = "Phase changed to in_progress. Auto-assigned to you.";
  const std::string created(not_created.substr(1));
  const std::string comment =
      "Comment is not confirmed. Do not retry automatically: read the work item's comments with get_work_item first.";
  struct Case {
    std::string name;
    std::string tool;
    Json arguments;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"echo", "create_work_item", {{"title", title}}, created},
      {"echo", "create_doc_page", {{"title", title}, {"body_markdown", ""}}, created},
      {"echo",
       "update_doc_page",
       {{"page_id", "D1"}, {"expected_version", 1}, {"title", title}},
       "Edit is not confirmed. Do not retry automatically. Read the page and reconcile its current content/version "
       "first."},
      {"names", "post_comment", {{"reference", "DB-1"}, {"body", "Done."}}, comment},
      {"names", "create_work_item", {{"title", "New"}}, created},
      {"names", "update_phase", {{"reference", "DB-1"}, {"phase", "in_progress"}}, in_progress},
  };
  {
    const Case& c = cases.at(GetParam());
    SCOPED_TRACE(c.name + " " + c.tool);
    BoardService board;
    serve_writes(board, c.name == "echo" ? quotes : "New");
    if (c.name == "echo") {
      board.make_ready();
      const std::string pages = "docs/projects/P1/pages";
      board.answers[pages] =
          R"({"page":{"id":"D2","projectId":"P1","spaceId":"S1","status":"draft","title":")" + quotes + "\"}}";
      const std::string edited = R"({"page":{"bodyMarkdown":"","id":"D1","projectId":"P1","status":"draft",)"
                                 R"("title":")" +
                                 quotes + R"(","version":2}})";
      board.instead = [edited](const HttpExchange& request) -> std::optional<HttpAnswer> {
        if (request.method != "PATCH") return std::nullopt;
        return HttpReply{.status = 200, .body = edited};
      };
    } else {
      // 36 MiB each: the context header alone is past the bound, and so is
      // the status that selects them.
      const std::string name(std::size_t{36} << 20, 'n');
      board.answers["board/projects"] = R"([{"id":"P1","name":")" + name + "\"}]";
      board.answers["board/projects/P1/boards"] = R"([{"columns":[],"id":"B1","name":")" + name + "\"}]";
      EXPECT_FALSE(board.call("veltrun_session", {{"action", "enable"}, {"project_id", "P1"}}));
      ASSERT_TRUE(board.session.board);
    }
    EXPECT_EQ(board.reply_text(c.tool, c.arguments), std::string(too_large) + " " + c.written);
  }
}

INSTANTIATE_TEST_SUITE_P(CallBounds, WritesPastTheReplyBound, testing::Range(std::size_t{0}, std::size_t{6}));

// An item on B1 without key or reference, so that its line is " " and the title.
std::string briefed_item(const std::string& id, const std::string& phase, const std::string& title) {
  return R"({"boardId":"B1","comments":[],"id":")" + id + R"(","phase":")" + phase + R"(","title":")" + title + "\"}";
}

// What the briefing keeps of the board counts against the reply bound, each
// phase's heading and place among the groups as well as the item lines, and
// the pages past the bound are not read.
TEST(CallBounds, BriefingKeepsWhatOneReplyMayHold) {
  const std::string mib(std::size_t{1} << 20, 'x');
  const std::size_t mib_pages = max_reply_bytes / mib.size();
  // 20,000 items of a 100-byte phase each, their last "W{n}" as the cursor needs.
  const auto phase_each = [](std::size_t n) {
    std::string page;
    for (std::size_t k = 0; k < 20'000; ++k) {
      std::string phase = std::to_string(n * 20'000 + k);
      phase.resize(100, 'p');
      page += briefed_item((k + 1 < 20'000 ? "V" + std::to_string(k) + "-" : "W") + std::to_string(n), phase, "T");
      if (k + 1 < 20'000) page += ",";
    }
    return page;
  };
  struct Case {
    const char* name;
    std::size_t pages;
    std::function<std::string(std::size_t)> page;
  };
  const std::vector<Case> cases = {
      {"long titles", mib_pages + 8, [&](std::size_t n) { return briefed_item("W" + std::to_string(n), "done", mib); }},
      {"a long phase each", mib_pages + 8,
       [&](std::size_t n) { return briefed_item("W" + std::to_string(n), std::to_string(n) + mib, "T"); }},
      // 42 MB of text, but 400,000 groups.
      {"many groups", 20, phase_each},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoardService board;
    board.pages = c.pages;
    board.page = c.page;
    board.make_ready();
    EXPECT_EQ(board.reply_text("project_context"),
              std::string(too_large) +
                  " List one phase at a time with list_work_items and its phase argument, or read the board's "
                  "counts with board_summary.");
    EXPECT_LT(board.item_pages_read(), c.pages);
    if (c.pages > mib_pages) {
      EXPECT_GE(board.item_pages_read(), mib_pages) << "not before the bound";
    }
  }
}

// Memory that runs out inside a call ends that call; the next one is served
// by the same session and sign-in.
TEST(CallBounds, RunningOutOfMemoryEndsOnlyTheCall) {
  BoardService board;
  board.page = [](std::size_t n) { return item(n); };
  board.make_ready();
  board.before_answer = [](const std::string& path) {
    if (path.starts_with(items_path)) throw std::bad_alloc();
  };
  const Json reply = Json::parse(board.reply_line(1, "board_summary"));
  EXPECT_EQ(reply["result"]["isError"], true);
  const std::string kept = "The server ran out of memory for this call; the session and sign-in are kept.";
  const std::string no_retry = " Do not retry a write automatically: read what it would have changed first.";
  EXPECT_EQ(reply["result"]["content"][0]["text"], kept + no_retry);
  // A tool that has a narrower call offers it.
  EXPECT_EQ(board.reply_text("project_context"),
            "error: " + kept +
                " List one phase at a time with list_work_items and its phase argument, or read the board's counts "
                "with board_summary." +
                no_retry);

  board.before_answer = [](const std::string&) {};
  const ToolOutcome next = board.call("board_summary");
  ASSERT_TRUE(next) << next.error();
  EXPECT_TRUE(next->starts_with("Project: Alpha (P1)\nBoard: Main (B1)\n")) << *next;
}

using std::chrono::milliseconds;
using std::chrono::seconds;

// Pages that each take 14 s: the call ends once its requests have taken
// 50 s together, and the last one is given only what was left.
TEST(CallBounds, SlowPagesEndTheCallAtItsBudget) {
  BoardService board;
  board.pages = client_http::max_list_pages;
  board.page = [](std::size_t n) { return item(n); };
  board.make_ready();
  board.timeouts.clear();
  board.before_answer = [&](const std::string&) { board.clock += seconds(14); };
  board.instead = [&](const HttpExchange& request) -> std::optional<HttpAnswer> {
    if (request.timeout >= seconds(14)) return std::nullopt;
    board.clock += request.timeout - seconds(14);  // the page would come later than that
    return std::unexpected(Unanswered::maybe_sent);
  };
  const ToolOutcome listed = board.call("list_work_items");
  const std::string last_page = board.paths.back();
  EXPECT_EQ(text(listed), "error: Veltrun API answered too slowly for GET " + last_page +
                              ": the requests of one tool call may take 50 seconds in all. The call may simply be "
                              "tried again.");
  // Two gate requests take 28 s; two pages 28 s more would pass 50 s.
  EXPECT_EQ(board.item_pages_read(), 2u);
  ASSERT_EQ(board.timeouts.size(), 4u);
  EXPECT_EQ(board.timeouts.front(), milliseconds(15'000));
  EXPECT_EQ(board.timeouts.back(), milliseconds(50'000 - 3 * 14'000));

  // The next call has a budget of its own.
  board.before_answer = [](const std::string&) {};
  board.pages = 1;
  EXPECT_TRUE(board.call("list_work_items"));
}

// A service's message is quoted up to 4096 bytes, on a whole character, so
// that the sentence after it is never crowded out.
TEST(CallBounds, ServiceMessagesAreCutSoTheSentenceFollows) {
  std::string message = "x";
  while (message.size() < (std::size_t{8} << 20)) message += "\u00e9";
  std::string expected_quote = "x";
  for (int i = 0; i < 2047; ++i) expected_quote += "\u00e9";
  expected_quote += "\u2026 (message cut)";
  const std::string failed = Json{{"message", message}}.dump();
  const std::string items = "board/projects/P1/work-items/W1";

  BoardService board;
  serve_writes(board, "New");
  board.make_ready();
  board.instead = [&](const HttpExchange& request) -> std::optional<HttpAnswer> {
    const bool refused = request.method == "POST" || request.url.ends_with("/assignment");
    if (!refused) return std::nullopt;
    return HttpReply{.status = request.method == "POST" ? 500 : 502, .body = failed};
  };
  EXPECT_EQ(text(board.call("post_comment", {{"reference", "DB-1"}, {"body", "Done."}})),
            "error: Veltrun API returned HTTP 500 for POST " + items + "/comments: " + expected_quote +
                " Comment is not confirmed. Do not retry automatically: read the work item's comments with "
                "get_work_item first.");
  const ToolOutcome moved = board.call("update_phase", {{"reference", "DB-1"}, {"phase", "uat"}});
  ASSERT_TRUE(moved) << moved.error().substr(0, 300);
  EXPECT_NE(moved->find("DB-1 moved to uat. Phase changed, but the automatic assignment could not be confirmed: "
                        "Veltrun API returned HTTP 502 for PATCH " +
                        items + "/assignment: " + expected_quote +
                        " Assignment outcome unverified. Read before retrying.\n\n"),
            std::string::npos)
      << moved->substr(0, 300);
  EXPECT_EQ(moved.written, "Phase changed to uat. Assignment outcome unverified. Read before retrying.");
}

// When the call's budget or the page cap ends the walk, what the pages read
// so far decided stands: the service ended nothing. A failure of the service
// itself still ends the call with its own text.
TEST(CallBounds, WhatThePagesDecidedOutlivesTheWalksBounds) {
  enum class End { budget, page_cap, service };
  struct Case {
    const char* name;
    End end;
    std::function<std::string(std::size_t)> page;
    std::string tool;
    Json arguments;
    std::string expected;  // the whole error, or how it begins
  };
  const auto repeated = [](std::size_t n) { return n == 2 ? item(1) + "," + item(2) : item(n); };
  const auto two_matches = [](std::size_t n) { return n == 3 ? item(3, R"("reference":"DB-1")") : item(n); };
  const auto plain = [](std::size_t n) { return item(n); };
  const Json db1 = {{"reference", "DB-1"}};
  const std::string duplicate = "error: Invalid or duplicate board item in summary.";
  const std::string ambiguous = "error: Reference 'DB-1' is missing or ambiguous in the selected scope.";
  const std::string slow = "error: Veltrun API answered too slowly for GET ";
  const std::string service_error = "error: Veltrun API returned HTTP 500 for GET ";
  const std::vector<Case> cases = {
      {"a repeated item, then the budget", End::budget, repeated, "board_summary", Json::object(), duplicate},
      {"a repeated item, then the page cap", End::page_cap, repeated, "board_summary", Json::object(), duplicate},
      {"a repeated item, then a failing page", End::service, repeated, "board_summary", Json::object(), service_error},
      {"nothing decided, then the budget", End::budget, plain, "board_summary", Json::object(), slow},
      {"two matches, then the budget", End::budget, two_matches, "get_work_item", db1, ambiguous},
      {"two matches, then the page cap", End::page_cap, two_matches, "get_work_item", db1, ambiguous},
      {"two matches, then a failing page", End::service, two_matches, "get_work_item", db1, service_error},
      {"one match, then the budget", End::budget, plain, "get_work_item", db1, slow},
      {"one match, then the page cap", End::page_cap, plain, "get_work_item", db1,
       "error: " + client_http::list_too_large()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoardService board;
    board.page = c.page;
    board.pages = client_http::max_list_pages + 1;
    board.make_ready();
    if (c.end == End::budget) {
      // Six pages in time, the seventh cut off.
      board.before_answer = [&](const std::string&) { board.clock += seconds(6); };
      board.instead = [&](const HttpExchange& request) -> std::optional<HttpAnswer> {
        if (request.timeout >= seconds(6)) return std::nullopt;
        board.clock += request.timeout - seconds(6);
        return std::unexpected(Unanswered::maybe_sent);
      };
    } else if (c.end == End::service) {
      board.instead = [&](const HttpExchange& request) -> std::optional<HttpAnswer> {
        if (page_number(request.url) != 5) return std::nullopt;
        return HttpReply{.status = 500, .body = ""};
      };
    }
    const std::string outcome = text(board.call(c.tool, c.arguments));
    EXPECT_TRUE(outcome.starts_with(c.expected)) << outcome;
    if (c.expected.ends_with('.')) {
      EXPECT_EQ(outcome, c.expected);
    }
  }
}

// A write cut short by the budget may have been carried out: its tool's
// sentence follows. A request the budget left no time for was not sent, and
// only a call that wrote nothing may simply be tried again.
TEST(CallBounds, BudgetTextsSayWhatHappened) {
  const std::string items = "board/projects/P1/work-items";
  const std::string budget = ": the requests of one tool call may take 50 seconds in all.";
  const std::string retry = " The call may simply be tried again.";
  struct Case {
    std::string name;
    std::string tool;
    Json arguments;
    std::string late;  // the request cut off by the budget, or after which it is spent
    bool cut;
    std::string reply;  // after "error: "
  };
  const std::vector<Case> cases = {
      {"comment cut",
       "post_comment",
       {{"reference", "DB-1"}, {"body", "Done."}},
       items + "/W1/comments",
       true,
       "Veltrun API answered too slowly for POST " + items + "/W1/comments" + budget +
           " Comment is not confirmed. Do not retry automatically: read the work item's comments with get_work_item "
           "first."},
      {"comment not sent",
       "post_comment",
       {{"reference", "DB-1"}, {"body", "Done."}},
       items + "?",
       false,
       "Veltrun API request POST " + items + "/W1/comments was not sent" + budget},
      {"creation not sent",
       "create_work_item",
       {{"title", "New"}},
       "board/projects/P1/boards",
       false,
       "Veltrun API request POST " + items + " was not sent" + budget + std::string(not_created)},
      {"assignment after the phase",
       "update_phase",
       {{"reference", "DB-1"}, {"phase", "review"}},
       items + "/W1/phase",
       false,
       "Veltrun API request PATCH " + items + "/W1/assignment was not sent" + budget},
      {"read not sent",
       "get_work_item",
       {{"reference", "DB-1"}},
       items + "?",
       false,
       "Veltrun API request GET " + items + "/W1/comments was not sent" + budget + retry},
      {"page cut",
       "list_work_items",
       {},
       items + "?",
       true,
       "Veltrun API answered too slowly for GET " + items + "?limit=100&include=comments&boardId=B1" + budget + retry},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoardService board;
    serve_writes(board, "New");
    board.make_ready();
    board.before_answer = [&](const std::string& path) {
      if (path.starts_with(c.cut ? "board/projects/P1/boards" : c.late)) board.clock += seconds(c.cut ? 45 : 50);
    };
    board.instead = [&](const HttpExchange& request) -> std::optional<HttpAnswer> {
      if (!c.cut || !board.paths.back().starts_with(c.late)) return std::nullopt;
      board.clock += request.timeout;
      // A write gets no answer; a page's head arrives but its body is cut.
      if (request.body) return std::unexpected(Unanswered::maybe_sent);
      return HttpReply{.status = 200, .body = R"({"items":[)", .body_read = false};
    };
    const ToolOutcome outcome = board.call(c.tool, c.arguments);
    if (c.tool == "update_phase") {
      ASSERT_TRUE(outcome) << outcome.error();
      const std::string moved = "\n\nDB-1 moved to review. Phase changed, but assignment failed: " + c.reply + "\n\n";
      EXPECT_NE(outcome->find(moved), std::string::npos) << *outcome;
    } else {
      EXPECT_EQ(text(outcome), "error: " + c.reply);
    }
    if (c.cut) {
      EXPECT_EQ(board.timeouts.back(), milliseconds(5'000));
    }
  }
}

}  // namespace
