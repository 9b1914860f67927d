// What one tool call may hold and print, whatever the service sends: the
// tools that use one item or counts walk a board of any size, a listing that
// keeps every item stops at its bounds, a reply never outgrows its bound, and
// running out of memory ends the call alone.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "client.hpp"
#include "dispatch.hpp"
#include "server.hpp"
#include "session_record.hpp"
#include "temp_dir.hpp"

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
  std::string reply_line(int id, std::string_view name) {
    std::vector<std::string> lines;
    const server::ReplySink sink = [&](std::string_view line) -> std::expected<void, std::string> {
      lines.emplace_back(line);
      return {};
    };
    const Json request = {{"id", id},
                          {"jsonrpc", "2.0"},
                          {"method", "tools/call"},
                          {"params", {{"name", name}, {"arguments", Json::object()}}}};
    if (!server::answer(request, sink, session, client) || lines.size() != 1) return "not one reply line";
    return lines.front();
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

// A field of zeros nested 120 deep is a few hundred KB of JSON but 75 MB once
// indented (a few million zeros would be gigabytes): printing stops at the
// reply bound.
TEST(CallBounds, ResultsPastTheReplyBoundFailWithTheirSentence) {
  std::string nested = std::string(120, '[') + "0";
  const std::size_t zeros = 300'000;
  for (std::size_t i = 1; i < zeros; ++i) nested += ",0";
  nested += std::string(120, ']');
  BoardService board;
  board.page = [&](std::size_t n) { return item(n, R"("field":)" + nested); };
  board.make_ready();
  const std::string too_large =
      "error: The result is larger than one reply may hold (67108864 bytes). Read one work item with get_work_item, "
      "or the board's counts with board_summary.";
  EXPECT_EQ(text(board.call("list_work_items")), too_large);
  EXPECT_EQ(text(board.call("get_work_item", {{"reference", "DB-1"}})), too_large);
  // The same item is counted as any other.
  EXPECT_TRUE(board.call("board_summary"));

  // A creation past the bound was carried out all the same: never again.
  board.answers["board/projects/P1/work-items"] = R"({"workItem":{"boardId":"B1","field":)" + nested +
                                                  R"(,"id":"W9","key":"DB-9","projectId":"P1","title":"New"}})";
  board.paths.clear();
  EXPECT_EQ(text(board.call("create_work_item", {{"title", "New"}})),
            too_large +
                " Creation is not confirmed. Do not retry automatically: check the destination for an existing "
                "result first.");
  EXPECT_EQ(std::count(board.paths.begin(), board.paths.end(), "board/projects/P1/work-items"), 1);
}

// The reply line is bounded too: a text within the bound may escape past it.
TEST(CallBounds, ReplyLinePastTheBoundIsTheSentence) {
  BoardService board;
  board.page = [](std::size_t n) { return item(n); };
  // A title of 20 Mi quotation marks: 40 MiB in the answer and in the
  // indented text, 80 MiB once the text is escaped again in the reply line.
  std::string title(std::size_t{40} << 20, '"');
  for (std::size_t i = 0; i < title.size(); i += 2) title[i] = '\\';
  board.answers["docs/projects/P1/pages"] = R"({"pages":[{"id":"D1","title":")" + title + "\"}]}";
  board.make_ready();
  EXPECT_EQ(board.reply_line(7, "list_doc_pages"),
            R"({"id":7,"jsonrpc":"2.0","result":{"content":[{"text":"The result is larger than one reply may hold )"
            R"((67108864 bytes). Read one work item with get_work_item, or the board's counts with board_summary.",)"
            R"("type":"text"}],"isError":true}})");
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
  EXPECT_EQ(reply["result"]["content"][0]["text"],
            "The server ran out of memory for this call; the session and sign-in are kept. Read one work item with "
            "get_work_item, or the board's counts with board_summary. Do not retry a write automatically: read what "
            "it would have changed first.");

  board.before_answer = [](const std::string&) {};
  const ToolOutcome next = board.call("board_summary");
  ASSERT_TRUE(next) << next.error();
  EXPECT_TRUE(next->starts_with("Project: Alpha (P1)\nBoard: Main (B1)\n")) << *next;
}

using std::chrono::milliseconds;
using std::chrono::seconds;

// Pages that each take 14 s: the call ends once its requests have taken
// 180 s together, and the last one is given only what was left.
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
                              ": the requests of one tool call may take 180 seconds in all. The call may simply be "
                              "tried again.");
  // Two gate requests take 28 s; eleven pages 154 s more would pass 180 s.
  EXPECT_EQ(board.item_pages_read(), 11u);
  ASSERT_EQ(board.timeouts.size(), 13u);
  EXPECT_EQ(board.timeouts.front(), milliseconds(15'000));
  EXPECT_EQ(board.timeouts.back(), milliseconds(180'000 - 12 * 14'000));

  // The next call has a budget of its own.
  board.before_answer = [](const std::string&) {};
  board.pages = 1;
  EXPECT_TRUE(board.call("list_work_items"));
}

// A write cut short by the budget may have been carried out: its tool's
// sentence follows; a write the budget left no time for was never sent.
TEST(CallBounds, WritesCutByTheBudget) {
  const std::string comment_path = "board/projects/P1/work-items/W1/comments";
  for (const bool started : {true, false}) {
    SCOPED_TRACE(started);
    BoardService board;
    board.page = [](std::size_t n) { return item(n); };
    board.make_ready();
    board.before_answer = [&](const std::string& path) {
      if (path.starts_with(items_path)) board.clock += seconds(started ? 175 : 180);
    };
    board.instead = [&](const HttpExchange& request) -> std::optional<HttpAnswer> {
      if (request.method != "POST") return std::nullopt;
      board.clock += request.timeout;
      return std::unexpected(Unanswered::maybe_sent);
    };
    const ToolOutcome posted = board.call("post_comment", {{"reference", "DB-1"}, {"body", "Done."}});
    const std::string head = "error: Veltrun API answered too slowly for POST " + comment_path +
                             ": the requests of one tool call may take 180 seconds in all.";
    if (started) {
      EXPECT_EQ(text(posted), head +
                                  " Comment is not confirmed. Do not retry automatically: read the work item's "
                                  "comments with get_work_item first.");
      EXPECT_EQ(board.paths.back(), comment_path);
      EXPECT_EQ(board.timeouts.back(), milliseconds(5'000));
    } else {
      EXPECT_EQ(text(posted), head + " The call may simply be tried again.");
      EXPECT_NE(board.paths.back(), comment_path);
    }
  }
}

}  // namespace
