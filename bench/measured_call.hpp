#pragma once
// One tool call measured as a benchmark iteration: time, the calling
// thread's CPU, the heap's high-water mark during the call and the reply's
// size. A failed call is measured as well: its sentence is the label and
// "failed" counts it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "dispatch.hpp"
#include "heap_peak.hpp"
#include "thread_times.hpp"

inline void measured_calls(benchmark::State& state, Session& session, const Client& client, std::string_view name,
                           const Json& arguments) {
  std::size_t peak = 0;
  std::size_t reply = 0;
  int failed = 0;
  const ThreadTimes start = ThreadTimes::now();
  for (auto _ : state) {
    heap_peak::start();
    ToolOutcome outcome = call_tool(session, client, name, arguments);
    peak = std::max(peak, heap_peak::stop());
    reply = outcome ? outcome->size() : outcome.error().size();
    if (!outcome) {
      ++failed;
      state.SetLabel(outcome.error().substr(0, 120));
    }
    benchmark::DoNotOptimize(outcome);
  }
  start.report_since(state);
  state.counters["peak_heap"] =
      benchmark::Counter(static_cast<double>(peak), benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
  state.counters["reply_bytes"] = static_cast<double>(reply);
  state.counters["failed"] = benchmark::Counter(failed, benchmark::Counter::kAvgIterations);
}
