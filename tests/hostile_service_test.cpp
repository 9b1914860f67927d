// The real binary against a service that answers with gzip bombs, floods
// of values, endless cursors and records that grow past a reply once printed: each request ends with its sentence, and
// the same process keeps its session and answers the next one.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "client.hpp"
#include "fake_service.hpp"
#include "hostile_answers.hpp"
#include "process.hpp"
#include "temp_dir.hpp"

namespace {

using namespace std::chrono_literals;

const std::string items_path = "board/projects/P1/work-items?limit=100&include=comments&boardId=B1";

Json item(const std::string& id) { return Json{{"id", id}, {"boardId", "B1"}, {"comments", Json::array()}}; }

std::string call(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"list_work_items","arguments":{}}})" + "\n";
}

// The text of a tool reply, "error: " before a failure's.
std::string reply_text(const std::optional<std::string>& line) {
  if (!line) return "no reply";
  const auto reply = json_text::parse(*line);
  if (!reply) return "not JSON: " + *line;
  const Json& result = (*reply)["result"];
  const std::string text = result["content"][0]["text"].get<std::string>();
  return result["isError"] == true ? "error: " + text : text;
}

TEST(HostileService, SameProcessAnswersAfterEachHostileAnswer) {
  fake::Service service{VELTRUN_LOOPBACK_PORT};
  ASSERT_NE(service.port(), 0) << "the loopback port " << VELTRUN_LOOPBACK_PORT << " is taken";
  TempDir home;
  const auto app = home.path() / "Library/Application Support/VeltrunTeam";
  std::filesystem::create_directories(app);
  std::ofstream(app / "board-token.txt") << "board-secret\n";

  service.on("GET", "board/projects", fake::Reply::json(Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}})));
  service.on("GET", "board/projects/P1/boards", fake::Reply::json(Json::array({Json{{"id", "B1"}, {"name", "Main"}}})));
  fake::Reply bomb = fake::Reply::raw(200, hostile::gzip_bomb(std::size_t{128} << 20), "application/json");
  bomb.headers.emplace_back("Content-Encoding", "gzip");
  service.on("GET", items_path, bomb);
  service.on("GET", items_path,
             fake::Reply::raw(200, "{\"items\":" + hostile::empty_objects(10'000'000) + "}", "application/json"));
  // A fresh item and another cursor on every page.
  service.on("GET", items_path, fake::Reply::json(Json{{"items", Json::array({item("W1")})}, {"nextCursor", ""}}));
  for (std::size_t n = 1; n <= client_http::max_list_pages; ++n) {
    service.on(
        "GET", items_path + "&cursor=W" + std::to_string(n),
        fake::Reply::json(Json{{"items", Json::array({item("W" + std::to_string(n + 1))})}, {"nextCursor", ""}}));
  }
  // One item whose field of zeros, nested 120 deep, is 600 KB as it comes
  // and 75 MB indented.
  std::string nested = std::string(120, '[') + "0";
  for (int i = 1; i < 300'000; ++i) nested += ",0";
  nested += std::string(120, ']');
  service.on(
      "GET", items_path,
      fake::Reply::raw(200, R"({"items":[{"boardId":"B1","field":)" + nested + R"(,"id":"W1"}]})", "application/json"));
  service.on("GET", items_path, fake::Reply::json(Json{{"items", Json::array({item("W1")})}, {"nextCursor", nullptr}}));

  process::Child server(VELTRUN_LOOPBACK_BINARY,
                        {{"HOME", home.path().string()}, {"VELTRUN_PROJECT", "P1"}, {"VELTRUN_BOARD", "B1"}});
  const std::string invalid_json = "error: Veltrun API returned invalid JSON.";
  for (const auto& [id, expected] : std::vector<std::pair<int, std::string>>{
           {1, invalid_json},
           {2, invalid_json},
           {3,
            "error: Veltrun API returned more work items than one listing may hold (1000 pages, 4000000 JSON "
            "values or 134217728 bytes); refusing a partial list."},
           {4,
            "error: The result is larger than one reply may hold (67108864 bytes). List one phase at a time with "
            "the phase argument, read one work item with get_work_item, or the board's counts with "
            "board_summary."}}) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(server.write(call(id)));
    EXPECT_EQ(reply_text(server.read_line(process::scaled(60s))), expected);
  }
  // The session chosen at the start is still there.
  ASSERT_TRUE(server.write(call(5)));
  const std::string listed = reply_text(server.read_line(process::scaled(60s)));
  EXPECT_TRUE(listed.starts_with("Project: Alpha (P1)\nBoard: Main (B1)\nResolved by: VELTRUN_PROJECT\n")) << listed;
  EXPECT_NE(listed.find("\"W1\""), std::string::npos) << listed;

  const process::Exit exit = server.finish(process::scaled(20s));
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(exit.err, "");
}

}  // namespace
