// Boards that a hostile service makes as large as its answers allow, served
// through the transport seam one page at a time: the heap's high-water mark,
// the calling thread's CPU and the outcome of one tool call that keeps only
// counts or a filtered few items. A failed call is measured as well: its
// sentence is the label and "failed" counts it.
//   IdSet/pages/per_page: closed items with unique 5-byte ids, counted; the
//   same board briefed (project_context) and searched for one item.
//   Assignees/pages: open items of 1,000 a page, each with a unique 60 KB assignee.
//   Columns/n: n columns and n items, each item in a column of its own.
//   FilteredListing: 29,000 items, 138 MB of pages, 5 of them in "uat".
//   ManyValuesListing: a listing of every item, as many values as it may keep.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "dispatch.hpp"
#include "measured_call.hpp"
#include "temp_dir.hpp"

namespace {

constexpr std::string_view base_url = "http://hostile-board.invalid/api";
constexpr std::string_view items_path = "board/projects/P1/work-items?";

// The items of one page as JSON text, without the brackets.
using PageItems = std::function<std::string(std::size_t page)>;

// A board whose pages are made when asked for: a request without cursor is
// page 0, each one with a cursor the page after the last one served.
class Board {
 public:
  Board(std::string board_record, std::size_t pages, PageItems items)
      : board_(std::move(board_record)), pages_(pages), items_(std::move(items)) {}

  HttpTransport transport() {
    return [this](const HttpExchange& request) -> HttpAnswer {
      const std::string_view path = std::string_view(request.url).substr(base_url.size() + 1);
      if (path == "board/projects") return HttpReply{200, R"([{"id":"P1","name":"Alpha"}])"};
      if (path == "board/projects/P1/boards") return HttpReply{200, "[" + board_ + "]"};
      if (path == "projects/P1/team") {
        return HttpReply{200, R"({"currentUserId":"u1","members":[{"userId":"u1"}],"projectId":"P1"})"};
      }
      if (path == "docs/projects/P1/pages") return HttpReply{200, "[]"};
      if (!path.starts_with(items_path)) return HttpReply{404, "{}"};
      next_ = path.find("&cursor=") == std::string_view::npos ? 0 : next_ + 1;
      const bool more = next_ + 1 < pages_;
      return HttpReply{200, R"({"items":[)" + items_(next_) + R"(],"nextCursor":)" + (more ? R"("")" : "null") + "}"};
    };
  }

 private:
  std::string board_;
  std::size_t pages_;
  PageItems items_;
  std::size_t next_ = 0;
};

std::string plain_board() { return R"({"columns":[],"id":"B1","name":"Main"})"; }

// n written with the 62 letters and digits, width characters wide.
std::string base62(std::size_t n, std::size_t width) {
  static constexpr std::string_view digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string text(width, '0');
  for (std::size_t i = width; i-- > 0; n /= digits.size()) text[i] = digits[n % digits.size()];
  return text;
}

void tool_call(benchmark::State& state, Board& board, std::string_view name, const Json& arguments) {
  TempDir app;
  app.write("board-token.txt", "board-credential");
  const Client client{app.path(), std::string(base_url), {.transport = board.transport()}};
  Session session;
  call_tool(session, client, "veltrun_session", {{"action", "enable"}, {"project_id", "P1"}, {"board_id", "B1"}});
  measured_calls(state, session, client, name, arguments);
}

// 499,999 items of 4 values fill a page to the answer's value cap.
void id_set(benchmark::State& state, std::string_view tool, const Json& arguments) {
  const auto per_page = static_cast<std::size_t>(state.range(1));
  Board board(plain_board(), static_cast<std::size_t>(state.range(0)), [per_page](std::size_t page) {
    std::string text;
    for (std::size_t i = 0; i < per_page; ++i) {
      if (i) text += ',';
      text.append(R"({"boardId":"B1","id":")").append(base62(page * per_page + i, 5)).append(R"(","phase":"done"})");
    }
    return text;
  });
  tool_call(state, board, tool, arguments);
}

void IdSet(benchmark::State& state) { id_set(state, "board_summary", Json::object()); }
void IdSetBriefing(benchmark::State& state) { id_set(state, "project_context", Json::object()); }
void IdSetOneItem(benchmark::State& state) { id_set(state, "get_work_item", {{"reference", "00001"}}); }

void Assignees(benchmark::State& state) {
  constexpr std::size_t per_page = 1'000;
  constexpr std::size_t assignee_bytes = 60'000;
  Board board(plain_board(), static_cast<std::size_t>(state.range(0)), [](std::size_t page) {
    std::string text;
    for (std::size_t i = 0; i < per_page; ++i) {
      const std::string n = std::to_string(page * per_page + i);
      if (i) text += ',';
      text.append(R"({"assigneeUserId":")").append(assignee_bytes - n.size(), 'u').append(n);
      text.append(R"(","boardId":"B1","id":"W)").append(n).append(R"(","phase":"inbox"})");
    }
    return text;
  });
  tool_call(state, board, "board_summary", Json::object());
}

// Pages of 2,000 items, so that 200,000 stay within the page cap.
void Columns(benchmark::State& state) {
  constexpr std::size_t per_page = 2'000;
  const auto count = static_cast<std::size_t>(state.range(0));
  std::string record = R"({"columns":[)";
  for (std::size_t n = 0; n < count; ++n) {
    if (n) record += ',';
    record.append(R"({"id":"C)").append(std::to_string(n)).append(R"(","isTerminal":)");
    record.append(n % 2 ? "true}" : "false}");
  }
  record += R"(],"id":"B1","name":"Main"})";
  Board board(std::move(record), (count + per_page - 1) / per_page, [count](std::size_t page) {
    std::string text;
    for (std::size_t n = page * per_page; n < std::min(count, (page + 1) * per_page); ++n) {
      const std::string id = std::to_string(n);
      if (!text.empty()) text += ',';
      text.append(R"({"boardId":"B1","columnId":"C)").append(id).append(R"(","id":"W)").append(id);
      text.append(R"(","phase":"inbox"})");
    }
    return text;
  });
  tool_call(state, board, "board_summary", Json::object());
}

void FilteredListing(benchmark::State& state) {
  constexpr std::size_t per_page = 100;
  constexpr std::size_t pages = 290;
  const std::string description(4'700, 'd');
  Board board(plain_board(), pages, [&description](std::size_t page) {
    std::string text;
    for (std::size_t i = 0; i < per_page; ++i) {
      const std::size_t n = page * per_page + i;
      const bool uat = n % 5'800 == 2'900;
      if (i) text += ',';
      text.append(R"({"boardId":"B1","comments":[],"description":")").append(description);
      text.append(R"(","id":"W)").append(std::to_string(n)).append(R"(","phase":")");
      text.append(uat ? "uat\"}" : "done\"}");
    }
    return text;
  });
  tool_call(state, board, "list_work_items", {{"phase", "uat"}});
}

// The most memory a kept listing may hold: 39 pages of one item whose
// object holds 100,000 members, just within the value bound together.
void ManyValuesListing(benchmark::State& state) {
  std::string members;
  for (int n = 0; n < 100'000; ++n) {
    if (n) members += ',';
    members.append(R"("k)").append(std::to_string(100'000 + n)).append(R"(":0)");
  }
  Board board(plain_board(), 39, [&members](std::size_t page) {
    std::string text = R"({"boardId":"B1","id":"W)";
    text.append(std::to_string(page)).append(R"(","phase":"done","members":{)").append(members).append("}}");
    return text;
  });
  tool_call(state, board, "list_work_items", Json::object());
}

}  // namespace

BENCHMARK(IdSet)->Args({60, 499'999})->Args({6, 499'999})->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(IdSetBriefing)->Args({60, 499'999})->Args({6, 499'999})->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(IdSetOneItem)->Args({60, 499'999})->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(Assignees)->Arg(64)->Arg(16)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(Columns)->Arg(20'000)->Arg(40'000)->Arg(200'000)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(FilteredListing)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(ManyValuesListing)->Unit(benchmark::kSecond)->Iterations(1);
