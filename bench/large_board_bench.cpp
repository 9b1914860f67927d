// The tools that page through a whole board, on a board of 15,000 work items
// with 30 events and 5 comments each, answered through the transport seam:
// time per call, the calling thread's CPU and the heap's high-water mark
// during one call. A failed call is measured as well: its sentence is the
// label and "failed" counts it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "dispatch.hpp"
#include "large_board.hpp"
#include "measured_call.hpp"
#include "temp_dir.hpp"

namespace {

// Rendered once for all four benchmarks: a few seconds and about 150 MB.
const large_board::Service& service() {
  static const large_board::Service board;
  return board;
}

struct ReadySession {
  TempDir app;
  Client client{app.path(), std::string(large_board::base_url), {.transport = service().transport()}};
  Session session;

  ReadySession() {
    app.write("board-token.txt", "board-credential");
    call_tool(session, client, "veltrun_session", {{"action", "enable"}, {"project_id", "P1"}, {"board_id", "B1"}});
  }
};

void tool_call(benchmark::State& state, const char* name, const Json& arguments) {
  ReadySession ready;
  measured_calls(state, ready.session, ready.client, name, arguments);
}

const Json middle_item = {{"reference", large_board::item_key(large_board::middle_item)}};

void LargeBoardWorkItemTime(benchmark::State& state) { tool_call(state, "work_item_time", middle_item); }
void LargeBoardGetWorkItem(benchmark::State& state) { tool_call(state, "get_work_item", middle_item); }
void LargeBoardSummary(benchmark::State& state) { tool_call(state, "board_summary", Json::object()); }
void LargeBoardListWorkItems(benchmark::State& state) { tool_call(state, "list_work_items", Json::object()); }

}  // namespace

BENCHMARK(LargeBoardWorkItemTime)->Unit(benchmark::kMillisecond);
BENCHMARK(LargeBoardGetWorkItem)->Unit(benchmark::kMillisecond);
BENCHMARK(LargeBoardSummary)->Unit(benchmark::kMillisecond);
BENCHMARK(LargeBoardListWorkItems)->Unit(benchmark::kMillisecond);
