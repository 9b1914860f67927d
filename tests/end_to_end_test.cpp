#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fake_service.hpp"
#include "scoped_env.hpp"
#include "server.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;

// Header and signature are never read; the payload is {"sub":"user-1"}.
constexpr const char* board_jwt = "eyJhbGciOiJub25lIn0.eyJzdWIiOiJ1c2VyLTEifQ.signature";

// One conversation through the stdin loop: handshake, consent with a project
// choice, and a phase change that starts work on an unassigned item.
TEST(EndToEnd, StartingWorkOnAnUnassignedItem) {
  ScopedEnv no_project("VELTRUN_PROJECT", nullptr);
  ScopedEnv no_board("VELTRUN_BOARD", nullptr);
  TempDir app;
  app.write("board-token.txt", std::string(board_jwt) + "\n");
  fake::Service service;
  service.on("GET", "board/projects", Reply::json(Json{{"projects", Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}})}}));
  service.on("GET", "board/projects/P1/boards", Reply::json(Json::array({Json{{"id", "B1"}, {"name", "Main"}}})));
  service.on("GET", "board/projects/P1/work-items?limit=100&include=comments&boardId=B1",
             Reply::json(Json{{"items", Json::array({Json{{"id", "W1"},
                                                          {"key", "DB-7"},
                                                          {"title", "Retry flow"},
                                                          {"boardId", "B1"},
                                                          {"assigneeUserId", nullptr},
                                                          {"comments", Json::array()}}})},
                              {"nextCursor", nullptr}}));
  service.on("PATCH", "board/projects/P1/work-items/W1/phase", Reply::json(Json{{"phase", "in_progress"}}));
  service.on("PATCH", "board/projects/P1/work-items/W1/assignment", Reply::empty(204));

  std::istringstream in(
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
      "\n"
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
      "\n"
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"veltrun_session",)"
      R"("arguments":{"action":"enable","project_id":"P1"}}})"
      "\r\n"
      R"({"jsonrpc":"2.0","id":"three","method":"tools/call","params":{"name":"update_phase",)"
      R"("arguments":{"reference":"DB-7","phase":"in_progress","reason":"Starting work"}}})"
      "\n");
  std::vector<std::string> replies;
  const server::ReplySink sink = [&](std::string_view line) -> std::expected<void, std::string> {
    replies.emplace_back(line);
    return {};
  };
  Session session;
  Client client(app.path(), service.base_url());
  ASSERT_TRUE(server::serve(in, sink, session, client));

  ASSERT_EQ(replies.size(), 3u);
  const Json initialized = Json::parse(replies[0]);
  EXPECT_EQ(initialized["id"], 1);
  EXPECT_EQ(initialized["result"]["protocolVersion"], "2025-03-26");
  const Json enabled = Json::parse(replies[1]);
  EXPECT_EQ(enabled["result"]["isError"], false);
  EXPECT_EQ(Json::parse(enabled["result"]["content"][0]["text"].get<std::string>())["status"], "ready");

  EXPECT_EQ(replies[2],
            R"({"id":"three","jsonrpc":"2.0","result":{"content":[{"text":"Project: Alpha (P1)\nBoard: Main (B1)\n)"
            R"(Resolved by: session selection\n\nDB-7 moved to in_progress. Branch convention: implement on )"
            R"(`vlt/db-7-retry-flow` (record it on the task); use the default branch only when the operator )"
            R"(directs it. Auto-assigned to you.\n\nWorkflow guidance: Keep this task as the transition target. )"
            R"(A phase change does not create a review, update documentation or prove user acceptance; follow )"
            R"(the delivery workflow for those steps. Entering in_progress: follow the branch convention )"
            R"((vlt/<key>-<slug>) unless the operator directs default-branch work.","type":"text"}],)"
            R"("isError":false}})");

  std::vector<std::string> sent;
  for (const fake::Request& request : service.requests()) {
    sent.push_back(request.line() + (request.body.empty() ? "" : " " + request.body));
    EXPECT_EQ(request.header("authorization"), std::string("Bearer ") + board_jwt) << request.line();
  }
  EXPECT_EQ(sent, (std::vector<std::string>{
                      "GET board/projects",
                      "GET board/projects/P1/boards",
                      "GET board/projects",
                      "GET board/projects/P1/boards",
                      "GET board/projects/P1/work-items?limit=100&include=comments&boardId=B1",
                      R"(PATCH board/projects/P1/work-items/W1/phase {"phase":"in_progress","reason":"Starting work"})",
                      R"(PATCH board/projects/P1/work-items/W1/assignment {"assigneeUserId":"user-1",)"
                      R"("reason":"Auto-assigned: working on it via veltrun-mcp."})",
                  }));
}

}  // namespace
