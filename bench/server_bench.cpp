// The server's own work per request, in process: the catalogue and the
// handshake reply, picking one item among 10,000, and paging 100 pages of 100
// items from the loopback fake. "CPU" is the calling thread's CPU time, so for
// the paging runs it leaves out the fake, which serves from its own threads.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <string>
#include <vector>

#include "board_fixture.hpp"
#include "client.hpp"
#include "fake_service.hpp"
#include "item_reference.hpp"
#include "server.hpp"
#include "temp_dir.hpp"
#include "thread_times.hpp"
#include "tool_table.hpp"

namespace {

using board_fixture::items;
using board_fixture::page_count;
using board_fixture::page_size;
using board_fixture::work_item;

// One reply line of the stdin loop, as the process would write it.
std::string reply_to(const Json& request, Session& session, const Client& client) {
  std::string line;
  const server::ReplySink sink = [&](std::string_view text) -> std::expected<void, std::string> {
    line = text;
    return {};
  };
  if (!server::answer(request, sink, session, client)) return "";
  return line;
}

void ToolDefinitions(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tool_defs());
}

void PrintedCatalogue(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(json_text::compact(Json{{"tools", tool_defs()}}));
}

// The reply line to request, again and again; no request reaches a service.
void replies(benchmark::State& state, const Json& request) {
  Session session;
  const Client client("", "http://127.0.0.1:9/api");
  for (auto _ : state) {
    std::string line = reply_to(request, session, client);
    if (line.empty()) state.SkipWithError("no reply");
    benchmark::DoNotOptimize(line);
  }
}

void ToolsListReply(benchmark::State& state) {
  replies(state, {{"jsonrpc", "2.0"}, {"id", 2}, {"method", "tools/list"}});
}

void InitializeReply(benchmark::State& state) {
  replies(state,
          {{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"}, {"params", {{"protocolVersion", "2025-06-18"}}}});
}

// The last item, so that every record is looked at.
void ChooseAmongTenThousand(benchmark::State& state) {
  const std::vector<Json> records = items(page_count * page_size);
  for (auto _ : state) {
    auto chosen = choose(records, "DB-9999", {"id", "key", "reference"});
    if (!chosen) state.SkipWithError(chosen.error().c_str());
    benchmark::DoNotOptimize(chosen);
  }
}

std::string page_target(int page) {
  std::string target = "board/projects/P1/work-items?limit=100&boardId=B1";
  if (page > 0) target += "&cursor=W" + std::to_string(page * page_size - 1);
  return target;
}

// 100 pages of 100 items, rendered once.
void serve_pages(fake::Service& service) {
  for (int page = 0; page < page_count; ++page) {
    Json list = Json::array();
    for (int n = page * page_size; n < (page + 1) * page_size; ++n) list.push_back(work_item(n));
    Json body = {{"items", std::move(list)}};
    body["nextCursor"] = page + 1 < page_count ? Json("more") : Json(nullptr);
    service.on("GET", page_target(page), fake::Reply::json(body));
  }
}

// Only the JSON texts of the 100 pages parsed and dropped: the share of the
// listing no transport change can remove.
void ParseHundredPages(benchmark::State& state) {
  std::vector<std::string> texts;
  for (int page = 0; page < page_count; ++page) {
    Json list = Json::array();
    for (int n = page * page_size; n < (page + 1) * page_size; ++n) list.push_back(work_item(n));
    texts.push_back(json_text::compact(Json{{"items", std::move(list)}, {"nextCursor", "more"}}));
  }
  for (auto _ : state) {
    for (const std::string& text : texts) {
      auto value = json_text::parse(text);
      if (!value) state.SkipWithError("page does not parse");
      benchmark::DoNotOptimize(value);
    }
  }
}

// The whole listing through the client: its CPU column is the server's share.
void PagingThroughClient(benchmark::State& state) {
  TempDir app;
  app.write("board-token.txt", "board-credential");
  fake::Service service;
  serve_pages(service);
  const Client client(app.path(), service.base_url());
  const ThreadTimes start = ThreadTimes::now();
  for (auto _ : state) {
    auto listed = client.items_including("P1", "B1", "");
    if (!listed || listed->size() != page_count * page_size) state.SkipWithError("listing failed");
    benchmark::DoNotOptimize(listed);
  }
  start.report_since(state);
}

// The same 100 pages fetched by a bare HTTP client, a fresh connection each
// and the bodies left unparsed: mostly the fake's own time.
void PagingRawHttp(benchmark::State& state) {
  fake::Service service;
  serve_pages(service);
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (int page = 0; page < page_count; ++page) {
      httplib::Client http("127.0.0.1", service.port());
      http.set_keep_alive(false);
      auto got = http.Get("/api/" + page_target(page),
                          {{"Authorization", "Bearer board-credential"}, {"Accept-Encoding", "gzip"}});
      if (!got || got->status != 200) {
        state.SkipWithError("page failed");
        break;
      }
      bytes += got->body.size();
    }
    benchmark::DoNotOptimize(bytes);
  }
}

}  // namespace

BENCHMARK(ToolDefinitions)->Unit(benchmark::kMicrosecond);
BENCHMARK(PrintedCatalogue)->Unit(benchmark::kMicrosecond);
BENCHMARK(ToolsListReply)->Unit(benchmark::kMicrosecond);
BENCHMARK(InitializeReply)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChooseAmongTenThousand)->Unit(benchmark::kMicrosecond);
BENCHMARK(ParseHundredPages)->Unit(benchmark::kMillisecond);
BENCHMARK(PagingThroughClient)->Unit(benchmark::kMillisecond);
BENCHMARK(PagingRawHttp)->Unit(benchmark::kMillisecond);
