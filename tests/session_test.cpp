#include "session.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "build_config.hpp"
#include "context.hpp"
#include "environment.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;
using Lines = std::vector<std::string>;

const std::string projects_line = "GET board/projects";
std::string boards_line(const std::string& project) { return "GET board/projects/" + project + "/boards"; }

// Three projects: P1 with one board, P2 with three, P3 with none. Tests change
// the lists between calls; the fake reads them when a request arrives.
class SessionResolution : public ::testing::Test {
 protected:
  TempDir app;
  fake::Service service;
  login::Clock::time_point now = login::Clock::now();
  Client client{app.path(), service.base_url(),
                ClientHooks{.now = [this] { return now; }, .open_browser = [](const std::string&) { return true; }}};
  Session session;

  Json projects = Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}, Json{{"id", "P2"}, {"name", "Beta"}},
                               Json{{"id", "P3"}, {"name", "Gamma"}}});
  std::map<std::string, Json> boards = {
      {"P1", Json::array({Json{{"id", "B1"}, {"name", "Main"}}})},
      {"P2", Json::array({Json{{"id", "B2a"}, {"name", "One"}}, Json{{"id", "B2b"}, {"name", "Two"}},
                          Json{{"id", "B2c"}, {"name", "Three"}}})},
      {"P3", Json::array()},
  };
  Json items = Json::array();
  std::optional<Reply> projects_failure;  // answers every project-list request when set
  std::optional<Reply> boards_failure;    // answers every board-list request when set

  SessionResolution() {
    app.write("board-token.txt", "board-credential\n");
    service.on("GET", "board/projects",
               [this](const fake::Request&) { return projects_failure.value_or(Reply::json(projects)); });
    for (const char* id : {"P1", "P2", "P3"}) {
      service.on("GET", "board/projects/" + std::string(id) + "/boards", [this, id](const fake::Request&) {
        return boards_failure.value_or(Reply::json(Json{{"boards", boards[id]}}));
      });
    }
    service.on("GET", "board/projects/P2/work-items?limit=100&include=comments", [this](const fake::Request&) {
      return Reply::json(Json{{"items", items}});
    });
  }

  Result<Json> call(const Json& arguments) { return session_context(session, client, arguments); }
  // The status word, or "error: " and the error text.
  std::string word(const Json& arguments) {
    auto outcome = call(arguments);
    return outcome ? context::field(*outcome, "status") : "error: " + outcome.error();
  }
  Lines take_lines() {
    Lines lines = service.lines();
    service.clear_requests();
    return lines;
  }
  static Json enable(const char* project_id = nullptr, const char* board_id = nullptr) {
    Json arguments = {{"action", "enable"}};
    if (project_id) arguments["project_id"] = project_id;
    if (board_id) arguments["board_id"] = board_id;
    return arguments;
  }
  static Json select(const char* key, const char* id) { return Json{{"action", "select"}, {key, id}}; }
  static std::vector<std::string> ids(const Json& records) {
    std::vector<std::string> out;
    for (const Json& record : records) out.push_back(context::field(record, "id"));
    return out;
  }
};

TEST_F(SessionResolution, CallSequences) {
  struct Step {
    Json arguments;
    std::string status;
    Lines requests;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Lines p1 = {projects_line, boards_line("P1")};
  const Lines p2 = {projects_line, boards_line("P2")};
  const Lines list = {projects_line};
  const std::vector<Case> cases = {
      {"nothing is sent before consent",
       {{Json::object(), "needs_opt_in", {}},
        {{{"action", "status"}}, "needs_opt_in", {}},
        {select("project_id", "P1"), "needs_opt_in", {}},
        {Json(nullptr), "needs_opt_in", {}}}},
      {"a bad action word is refused before the consent gate",
       {{{{"action", "on"}}, "error: action must be status, enable, disable or select.", {}}}},
      {"enable offers the projects and consent stays",
       {{enable(), "needs_project", list}, {Json::object(), "needs_project", list}}},
      {"a project with one board is ready at once", {{enable("P1"), "ready", p1}, {Json::object(), "ready", p1}}},
      {"several boards ask for a choice",
       {{enable("P2"), "needs_board", p2}, {select("board_id", "B2b"), "ready", p2}, {Json::object(), "ready", p2}}},
      {"project and board in one call", {{enable("P2", "B2c"), "ready", p2}}},
      {"a project without boards", {{enable("P3"), "no_boards", {projects_line, boards_line("P3")}}}},
      {"a board before any project is not looked at", {{enable(nullptr, "B1"), "needs_project", list}}},
      {"disable silences every later call until enable",
       {{enable("P1"), "ready", p1},
        {{{"action", "disable"}}, "disabled", {}},
        {{{"action", "status"}}, "disabled", {}},
        {select("project_id", "P1"), "disabled", {}},
        {{{"action", "frobnicate"}}, "disabled", {}},
        {enable(), "needs_project", list}}},
      {"a refused folder keeps the enable",
       {{{{"action", "enable"}, {"cwd", "relative/dir"}},
         "error: cwd must be an existing absolute workspace "
         "directory.",
         {}},
        {Json::object(), "needs_project", list}}},
      {"a foreign board drops the whole choice",
       {{enable("P1", "B2a"), "error: Board does not belong to the selected project.", p1},
        {Json::object(), "needs_project", list}}},
      {"an unknown project is refused",
       {{enable("P9"), "error: Project is not accessible to the authenticated account.", list}}},
      {"selecting another project forgets the board",
       {{enable("P1"), "ready", p1}, {select("project_id", "P2"), "needs_board", p2}}},
  };
  for (const Case& c : cases) {
    session = Session{};
    client.reset_auth();
    service.clear_requests();
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      EXPECT_EQ(word(step.arguments), step.status) << c.name << ", step " << i + 1;
      EXPECT_EQ(take_lines(), step.requests) << c.name << ", step " << i + 1;
    }
  }
}

TEST_F(SessionResolution, StatusObjectsCarryTheirLists) {
  auto outcome = call(enable());
  ASSERT_TRUE(outcome);
  EXPECT_EQ(ids((*outcome)["projects"]), (std::vector<std::string>{"P1", "P2", "P3"}));
  EXPECT_FALSE(outcome->contains("boards"));
  EXPECT_FALSE(outcome->contains("question"));

  outcome = call(select("project_id", "P2"));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(ids((*outcome)["boards"]), (std::vector<std::string>{"B2a", "B2b", "B2c"}));
  EXPECT_TRUE((*outcome)["projects"].empty());
  EXPECT_EQ((*outcome)["instruction"],
            "Ask the user to choose a board from the returned options, then call "
            "veltrun_session(action=select, board_id=...).");

  outcome = call(select("project_id", "P3"));
  ASSERT_TRUE(outcome);
  EXPECT_EQ((*outcome)["boards"], Json::array());

  outcome = call(select("project_id", "P1"));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(json_text::compact(*outcome),
            R"({"board":{"id":"B1","name":"Main"},"boards":[{"id":"B1","name":"Main"}],"cwd":null,)"
            R"("instruction":"Use this session's project and board. Directory or app selection changes must not )"
            R"(reroute this session.","project":{"id":"P1","name":"Alpha"},"projects":[],)"
            R"("source":"session selection","status":"ready"})");
  EXPECT_EQ(session.board, boards["P1"][0]);

  projects = Json::array();
  session = Session{};
  outcome = call(enable());
  ASSERT_TRUE(outcome);
  EXPECT_EQ((*outcome)["status"], "no_projects");
  EXPECT_FALSE(outcome->contains("boards"));
}

TEST_F(SessionResolution, MissingOrExpiredCredentialIsNeedsAuth) {
  TempDir workspace;
  std::filesystem::remove(app.path() / "board-token.txt");
  auto outcome = call({{"action", "enable"}, {"cwd", workspace.path().string()}});
  ASSERT_TRUE(outcome);
  EXPECT_EQ((*outcome)["status"], "needs_auth");
  EXPECT_TRUE((*outcome)["instruction"].get<std::string>().starts_with("Authentication is missing or expired."));
  EXPECT_TRUE(take_lines().empty()) << "no credential, no request";
  EXPECT_TRUE(session.opted_in);
  EXPECT_EQ(session.cwd, std::optional<std::string>(workspace.path().string()));

  // A revoked credential while the boards are read keeps the project chosen before it.
  app.write("board-token.txt", "board-credential");
  boards_failure = Reply::json(Json{{"message", "expired"}}, 401);
  EXPECT_EQ(word(select("project_id", "P1")), "needs_auth");
  EXPECT_EQ(take_lines(), (Lines{projects_line, boards_line("P1")}));
  ASSERT_TRUE(session.project);
  EXPECT_EQ(context::field(*session.project, "id"), "P1");
  EXPECT_EQ(session.source, "session selection");
}

TEST_F(SessionResolution, OtherFailuresLeaveTheSessionAsItWas) {
  ASSERT_EQ(word(enable("P2", "B2b")), "ready");
  session.work_item = "DB-7";
  const Session before = session;
  EXPECT_EQ(word(Json{{"project_id", "P1"}, {"board_id", "B2a"}}),
            "error: Board does not belong to the selected project.");
  EXPECT_EQ(session.project, before.project);
  EXPECT_EQ(session.board, before.board);
  EXPECT_EQ(session.work_item, "DB-7");
  EXPECT_EQ(session.source, before.source);

  projects_failure = Reply::json(Json{{"message", "down"}}, 503);
  EXPECT_EQ(word(enable()), "error: Veltrun API returned HTTP 503 for GET board/projects: down");
  EXPECT_EQ(session.board, before.board);
}

TEST_F(SessionResolution, SelectedProjectMustStillBeListed) {
  ASSERT_EQ(word(enable("P1")), "ready");
  take_lines();
  projects.erase(0);
  const std::string gone =
      "error: Selected project is not accessible to the authenticated account. Select another project explicitly.";
  EXPECT_EQ(word(Json::object()), gone);
  EXPECT_EQ(word(Json::object()), gone);
  EXPECT_EQ(take_lines(), (Lines{projects_line, projects_line}));
  EXPECT_EQ(word(select("project_id", "P2")), "needs_board");
}

TEST_F(SessionResolution, RemovedBoardIsAnErrorUntilAnotherIsChosen) {
  ASSERT_EQ(word(enable("P2", "B2b")), "ready");
  boards["P2"] = Json::array({Json{{"id", "B2a"}, {"name", "One"}}, Json{{"id", "B2c"}, {"name", "Three"}}});
  const std::string gone = "error: The selected board is no longer available. Select a board explicitly.";
  EXPECT_EQ(word(Json::object()), gone);
  EXPECT_EQ(word({{"action", "status"}}), gone);
  EXPECT_EQ(context::field(*session.board, "id"), "B2b") << "the session keeps the board it had";
  EXPECT_EQ(word(select("board_id", "B2c")), "ready");

  // A listed board is refreshed from the list on every call.
  boards["P2"][1]["name"] = "Renamed";
  EXPECT_EQ(word(Json::object()), "ready");
  EXPECT_EQ(context::field(*session.board, "name"), "Renamed");
}

TEST_F(SessionResolution, EnvironmentChoosesProjectAndBoard) {
  {
    const Environment env{.project = "P2", .board = "B2c"};
    session = Session::from_env(env);
    auto outcome = call(Json::object());
    ASSERT_TRUE(outcome);
    EXPECT_EQ((*outcome)["status"], "ready");
    EXPECT_EQ((*outcome)["source"], "VELTRUN_PROJECT");
    EXPECT_EQ(context::field(*session.board, "id"), "B2c");
    EXPECT_TRUE(session.opted_in);

    session = Session::from_env(env);
    EXPECT_EQ(word(select("project_id", "P2")), "needs_board") << "VELTRUN_BOARD only follows VELTRUN_PROJECT";
  }
  {
    session = Session::from_env({.project = "P2", .board = "B9"});
    EXPECT_EQ(word(Json::object()), "error: Board does not belong to the selected project.");
  }
  session = Session::from_env({.project = "P9"});
  EXPECT_EQ(word(Json::object()), "error: VELTRUN_PROJECT is not accessible; explicitly select an available project.");
}

TEST_F(SessionResolution, BoundWorkItemChoosesTheBoard) {
  items = Json::array({
      Json{{"id", "W1"}, {"key", "DB-7"}, {"boardId", "B2b"}},
      Json{{"id", "DB-9"}, {"key", "K-9"}, {"boardId", "B2c"}},
      Json{{"id", "W3"}, {"reference", "R-3"}, {"boardId", "B2a"}},
      Json{{"id", "W4"}, {"key", "DUP"}, {"boardId", "B2a"}},
      Json{{"id", "W5"}, {"key", "DUP"}, {"boardId", "B2c"}},
      Json{{"id", "W6"}, {"key", "LOST"}, {"boardId", "B-gone"}},
  });
  struct Case {
    std::string bound;
    std::string outcome;  // the board id, or the error
  };
  const std::vector<Case> cases = {
      {"DB-7", "B2b"},
      {"DB-9", "B2c"},
      {"R-3", "B2a"},
      {"DUP", "error: The session's bound work item is missing or ambiguous. Pass an explicit project and board."},
      {"W0", "error: The session's bound work item is missing or ambiguous. Pass an explicit project and board."},
      {"LOST", "error: Bound work item's board is unavailable."},
  };
  // The bound item is looked up only for a project that nobody chose explicitly.
  const Environment env{.project = "P2"};
  for (const Case& c : cases) {
    session = Session::from_env(env);
    session.work_item = c.bound;
    service.clear_requests();
    const std::string status = word(Json::object());
    EXPECT_EQ(status.starts_with("error") ? status : context::field(*session.board, "id"), c.outcome) << c.bound;
    EXPECT_EQ(take_lines(),
              (Lines{projects_line, boards_line("P2"), "GET board/projects/P2/work-items?limit=100&include=comments"}))
        << c.bound;
  }

  session = Session::from_env(env);
  session.work_item = "DB-7";
  ASSERT_EQ(word(Json::object()), "ready");
  take_lines();
  EXPECT_EQ(word(select("board_id", "B2b")), "ready");
  EXPECT_EQ(session.work_item, "DB-7") << "the same board keeps the bound item";
  EXPECT_EQ(take_lines(), (Lines{projects_line, boards_line("P2")})) << "once a board is chosen, no item look-up";
  EXPECT_EQ(word(select("board_id", "B2a")), "ready");
  EXPECT_EQ(session.work_item, "") << "another board forgets it";
}

// Listed records are matched by their ids as field reads them: a board listed
// without an id answers to an empty id.
TEST_F(SessionResolution, BoardsWithoutAnIdMatchAnEmptyId) {
  const Json nameless = {{"name", "Nameless"}};
  struct Case {
    const char* name;
    Json boards;
    std::string bound;               // the session's bound work item
    std::vector<std::string> words;  // the status of each call, or the error
  };
  const std::string unavailable = "error: Bound work item's board is unavailable.";
  const std::vector<Case> cases = {
      {"a selected board without an id is still listed", Json::array({nameless}), "", {"ready", "ready"}},
      {"an item without boardId finds the board without an id",
       Json::array({Json{{"id", "B2a"}}, nameless}),
       "NB-1",
       {"ready", "ready"}},
      {"an item without boardId finds no board with an id", Json::array({Json{{"id", "B2a"}}}), "NB-1", {unavailable}},
  };
  items = Json::array({Json{{"id", "W7"}, {"key", "NB-1"}}});
  // A project nobody chose explicitly, so that the bound item is looked up.
  const Environment env{.project = "P2"};
  for (const Case& c : cases) {
    session = Session::from_env(env);
    session.work_item = c.bound;
    boards["P2"] = c.boards;
    for (std::size_t i = 0; i < c.words.size(); ++i) {
      EXPECT_EQ(word(Json::object()), c.words[i]) << c.name << ", call " << i + 1;
    }
    if (c.words.back() == "ready") {
      EXPECT_EQ(*session.board, nameless) << c.name;
    }
  }
}

TEST_F(SessionResolution, WorkspaceFolderThroughTheRegistry) {
  TempDir disk;
  const auto repo = disk.path() / "repo";
  std::filesystem::create_directories(repo / "src");
  std::filesystem::create_directory_symlink(repo, disk.path() / "alias");
  app.write("projects.json", json_text::compact(Json::array({Json{{"id", "P1"}, {"repoPath", repo.string()}}})));

  session.cwd = (disk.path() / "alias" / "src").string();
  auto outcome = call(enable());
  ASSERT_TRUE(outcome);
  EXPECT_EQ((*outcome)["status"], "ready");
  EXPECT_EQ((*outcome)["source"], "workspace folder");
  EXPECT_EQ(context::field(*session.project, "repoPath"), repo.string());

  // A folder deleted since it was given matches nothing: every project is offered.
  session = Session{};
  session.cwd = (disk.path() / "alias" / "src").string();
  std::filesystem::remove_all(repo);
  outcome = call(enable());
  ASSERT_TRUE(outcome);
  EXPECT_EQ((*outcome)["status"], "needs_project");
  EXPECT_EQ(ids((*outcome)["projects"]), (std::vector<std::string>{"P1", "P2", "P3"}));
}

TEST_F(SessionResolution, DisableDropsTheSignInState) {
  service.on("POST", "device/authorize",
             Reply::json(Json{{"device_code", "dev-1"},
                              {"user_code", "ABCD-EFGH"},
                              {"verification_uri_complete",
                               "https://" + std::string(build_config::service_host) + "/app/device?code=ABCD-EFGH"},
                              {"expires_in", 600},
                              {"interval", 1}}));
  service.on("POST", "device/token", Reply::json(Json{{"status", "approved"}, {"key", "vlt_live_memory"}}));
  ASSERT_TRUE(client.login("start"));
  now += std::chrono::seconds(2);
  ASSERT_TRUE(client.login("poll"));
  ASSERT_TRUE(client.login("start"));
  ASSERT_TRUE(client.auth().token && client.auth().pending);

  EXPECT_EQ(word({{"action", "disable"}}), "disabled");
  EXPECT_FALSE(client.auth().token);
  EXPECT_FALSE(client.auth().pending);

  // Every call that finds the session disabled empties it again.
  ASSERT_TRUE(client.login("start"));
  EXPECT_EQ(word(Json::object()), "disabled");
  EXPECT_FALSE(client.auth().pending);
}

}  // namespace
