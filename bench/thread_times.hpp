#pragma once
// The calling thread's CPU time split into user and kernel time, reported per
// iteration: for a tool call against the loopback fake the kernel share is
// the sockets, the user share the server's own code; the fake's threads are
// in neither.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

struct ThreadTimes {
  double user_ms = 0;
  double kernel_ms = 0;

  static ThreadTimes now() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {milliseconds(usage.ru_utime), milliseconds(usage.ru_stime)};
  }

  // Adds "user_ms" and "kernel_ms" counters for the time since this reading.
  void report_since(benchmark::State& state) const {
    const ThreadTimes end = now();
    const auto per_iteration = benchmark::Counter::kAvgIterations;
    state.counters["user_ms"] = benchmark::Counter(end.user_ms - user_ms, per_iteration);
    state.counters["kernel_ms"] = benchmark::Counter(end.kernel_ms - kernel_ms, per_iteration);
  }

 private:
  static double milliseconds(const timeval& time) { return time.tv_sec * 1e3 + time.tv_usec / 1e3; }
};
