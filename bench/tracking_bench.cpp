// Board summary and phase-duration report on a board of 10,000 work items:
// whole tool calls against the loopback fake (100 pages of 100 items), and
// the computations alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "board_fixture.hpp"
#include "dispatch.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"
#include "thread_times.hpp"
#include "tracking.hpp"

namespace {

using board_fixture::item_id;
using board_fixture::page_count;
using board_fixture::page_size;
using board_fixture::work_item;
constexpr std::int64_t created_ms = 1'767'225'600'000;  // 2026-01-01T00:00:00Z

const Json board = {{"id", "B1"}, {"name", "Main"}, {"columns", Json::array()}};

// "2026-01-DDTHH:MM:SSZ", the given seconds after New Year (under ten days).
std::string occurred_at(std::int64_t seconds) {
  char text[96];  // room for any long long fields, so nothing is cut short
  std::snprintf(text, sizeof text, "2026-01-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(1 + seconds / 86400),
                static_cast<long long>(seconds % 86400 / 3600), static_cast<long long>(seconds % 3600 / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

// 10,000 events for one item: its creation, then inbox and review in turn.
Json item_with_history(int events) {
  Json item = work_item(0);
  item["phase"] = "inbox";
  Json history = Json::array({Json{{"workItemId", "W0"}, {"eventId", "E0"}, {"eventType", "work_item.created"}}});
  const char* phases[] = {"inbox", "review"};
  for (int n = 1; n < events; ++n) {
    history.push_back(Json{{"workItemId", "W0"},
                           {"eventId", "E" + std::to_string(n)},
                           {"eventType", "work_item.status_changed"},
                           {"occurredAt", occurred_at(n * 60)},
                           {"payload", {{"from", phases[(n + 1) % 2]}, {"to", phases[n % 2]}}}});
  }
  if (events % 2 == 0) item["phase"] = "review";
  item["events"] = std::move(history);
  return item;
}

Json directory() {
  return Json{{"projectId", "P1"},
              {"currentUserId", "u1"},
              {"members", Json::array({Json{{"userId", "u1"}}, Json{{"userId", "u2"}}})}};
}

// The session gate's lists, the team and 100 pages of work items for both
// listings the two tools make.
void serve_board(fake::Service& service) {
  service.on("GET", "board/projects", fake::Reply::json(Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}})));
  service.on("GET", "board/projects/P1/boards", fake::Reply::json(Json::array({board})));
  service.on("GET", "projects/P1/team", fake::Reply::json(directory()));
  const std::vector<Json> items = board_fixture::items();
  for (const std::string include : {"", "&include=events"}) {
    for (int page = 0; page < page_count; ++page) {
      std::string target = "board/projects/P1/work-items?limit=100" + include + "&boardId=B1";
      if (page > 0) target += "&cursor=" + item_id(page * page_size - 1);
      Json list = Json::array();
      for (int n = page * page_size; n < (page + 1) * page_size; ++n) {
        Json item = items[n];
        if (!include.empty()) {
          item["events"] = Json::array({Json{
              {"workItemId", item_id(n)}, {"eventId", "E" + std::to_string(n)}, {"eventType", "work_item.created"}}});
          item["phase"] = "inbox";
        }
        list.push_back(std::move(item));
      }
      Json body = {{"items", std::move(list)}};
      body["nextCursor"] = page + 1 < page_count ? Json("more") : Json(nullptr);
      service.on("GET", target, fake::Reply::json(body));
    }
  }
}

struct ReadySession {
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};
  Session session;

  ReadySession() {
    app.write("board-token.txt", "board-credential");
    serve_board(service);
    call_tool(session, client, "veltrun_session", {{"action", "enable"}, {"project_id", "P1"}});
  }
};

void tool_call(benchmark::State& state, const char* name, const Json& arguments) {
  ReadySession ready;
  const ThreadTimes start = ThreadTimes::now();
  for (auto _ : state) {
    ToolOutcome outcome = call_tool(ready.session, ready.client, name, arguments);
    if (!outcome) state.SkipWithError(outcome.error().c_str());
    benchmark::DoNotOptimize(outcome);
  }
  start.report_since(state);
}

void BoardSummaryToolCall(benchmark::State& state) { tool_call(state, "board_summary", Json::object()); }
void WorkItemTimeToolCall(benchmark::State& state) { tool_call(state, "work_item_time", {{"reference", "DB-9999"}}); }

void SummaryOfTenThousandItems(benchmark::State& state) {
  ReadySession ready;
  const std::vector<Json> items = board_fixture::items();
  for (auto _ : state) {
    tracking::BoardCount count(board);
    for (const Json& item : items) count.add(item);
    auto summary = count.summary(ready.client, "P1", ready.client.wall_clock());
    if (!summary) state.SkipWithError(summary.error().c_str());
    benchmark::DoNotOptimize(summary);
  }
}

void TimeOverTenThousandEvents(benchmark::State& state) {
  const Json item = item_with_history(10'000);
  const std::int64_t now_ms = created_ms + 10'000LL * 60'000;
  for (auto _ : state) {
    auto report = tracking::time(item, board, now_ms);
    if (!report) state.SkipWithError(report.error().c_str());
    benchmark::DoNotOptimize(report);
  }
}

}  // namespace

BENCHMARK(BoardSummaryToolCall)->Unit(benchmark::kMillisecond);
BENCHMARK(WorkItemTimeToolCall)->Unit(benchmark::kMillisecond);
BENCHMARK(SummaryOfTenThousandItems)->Unit(benchmark::kMillisecond);
BENCHMARK(TimeOverTenThousandEvents)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
