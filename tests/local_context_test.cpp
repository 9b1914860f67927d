#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "session.hpp"
#include "temp_dir.hpp"

namespace {

class LocalContext : public ::testing::Test {
 protected:
  TempDir root;

  std::string dir(const std::string& relative) {
    auto path = root.path() / relative;
    std::filesystem::create_directories(path);
    return path.string();
  }
  static Json project(const std::string& id, const std::string& repo_path = "") {
    Json record = {{"id", id}, {"name", "Project " + id}};
    if (!repo_path.empty()) record["repoPath"] = repo_path;
    return record;
  }
  static Session consented() {
    Session session;
    session.opted_in = true;
    return session;
  }
  static std::string word(const Result<Json>& outcome) {
    return outcome ? context::field(*outcome, "status") : "error: " + outcome.error();
  }
  static std::vector<std::string> offered(const Result<Json>& outcome) {
    std::vector<std::string> ids;
    if (outcome) {
      for (const Json& p : (*outcome)["projects"]) ids.push_back(context::field(p, "id"));
    }
    return ids;
  }
};

// The action word decides before anything else, and a disabled session only
// answers to "enable".
TEST_F(LocalContext, ActionsOnDisabledAndEnabledSessions) {
  struct Case {
    const char* what;
    bool disabled;
    Json arguments;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"unknown word while disabled", true, {{"action", "frobnicate"}}, "disabled"},
      {"select while disabled", true, {{"action", "select"}, {"project_id", "P1"}}, "disabled"},
      {"no arguments while disabled", true, Json(nullptr), "disabled"},
      {"disable with a bad cwd", false, {{"action", "disable"}, {"cwd", "relative/path"}}, "disabled"},
      {"unknown word while enabled",
       false,
       {{"action", "Enable"}},
       "error: action must be status, enable, "
       "disable or select."},
      {"non-string action reads as status", false, {{"action", 3}}, "needs_project"},
      {"empty action reads as status", false, {{"action", ""}}, "needs_project"},
      {"enable while disabled", true, {{"action", "enable"}}, "needs_project"},
  };
  for (const Case& c : cases) {
    Session session = consented();
    if (c.disabled) {
      session.disabled = true;
      session.opted_in = false;
    }
    session.cwd = "/kept";
    const Session before = session;
    auto outcome = session.local_context(c.arguments, std::nullopt);
    EXPECT_EQ(word(outcome), c.expected) << c.what;
    if (outcome) {
      EXPECT_TRUE((*outcome)["projects"].empty()) << c.what;
    }
    EXPECT_EQ(session.cwd, before.cwd) << c.what;
    if (c.expected.starts_with("error") || (c.disabled && c.expected == "disabled")) {
      EXPECT_EQ(session.disabled, before.disabled) << c.what;
      EXPECT_EQ(session.opted_in, before.opted_in) << c.what;
    }
  }
}

TEST_F(LocalContext, DisableDropsChoicesButKeepsSourceAndFolder) {
  Session session = consented();
  session.source = "session selection";
  session.cwd = "/w";
  session.work_item = "DB-1";
  session.project = project("P1");
  session.board = Json{{"id", "B1"}};
  auto outcome = session.local_context({{"action", "disable"}}, std::vector<Json>{project("P1")});
  ASSERT_EQ(word(outcome), "disabled");
  EXPECT_TRUE(session.disabled);
  EXPECT_FALSE(session.opted_in);
  EXPECT_FALSE(session.project || session.board);
  EXPECT_EQ(session.work_item, "");
  EXPECT_EQ(session.source, "session selection");
  EXPECT_EQ(session.cwd, std::optional<std::string>("/w"));
  EXPECT_EQ((*outcome)["project"], nullptr);
}

TEST_F(LocalContext, WorkspaceFolderChecks) {
  const std::string folder = dir("w");
  root.write("file.txt", "x");
  std::filesystem::create_directory_symlink(folder, root.path() / "link");
  struct Case {
    std::string cwd;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {folder, true},
      {(root.path() / "link").string(), true},
      {"w", false},
      {"./w", false},
      {(root.path() / "missing").string(), false},
      {(root.path() / "file.txt").string(), false},
      {folder + std::string("\0junk", 5), false},  // the system would see only the part before the NUL
  };
  for (const Case& c : cases) {
    Session session = consented();
    session.cwd = "/before";
    auto outcome = session.local_context({{"cwd", c.cwd}}, std::nullopt);
    if (c.accepted) {
      EXPECT_EQ(word(outcome), "needs_project") << c.cwd;
      EXPECT_EQ(session.cwd, std::optional<std::string>(c.cwd)) << "kept exactly as given";
    } else {
      EXPECT_EQ(word(outcome), "error: cwd must be an existing absolute workspace directory.") << c.cwd;
      EXPECT_EQ(session.cwd, std::optional<std::string>("/before")) << c.cwd;
    }
  }
  Session session = consented();
  session.cwd = "/before";
  EXPECT_EQ(word(session.local_context({{"cwd", ""}}, std::nullopt)), "needs_project");
  EXPECT_EQ(session.cwd, std::optional<std::string>("/before"));
}

TEST_F(LocalContext, EnableStaysWhenTheFolderIsRefused) {
  Session session;
  auto outcome = session.local_context({{"action", "enable"}, {"cwd", "relative"}}, std::nullopt);
  EXPECT_EQ(word(outcome), "error: cwd must be an existing absolute workspace directory.");
  EXPECT_TRUE(session.opted_in);
  EXPECT_FALSE(session.disabled);
}

TEST_F(LocalContext, ConsentGate) {
  const std::string folder = dir("w");
  Session session;
  auto outcome = session.local_context({{"action", "status"}, {"cwd", folder}}, std::nullopt);
  EXPECT_EQ(word(outcome), "needs_opt_in");
  EXPECT_TRUE(outcome->contains("question"));
  EXPECT_EQ(session.cwd, std::optional<std::string>(folder));
  EXPECT_FALSE(session.opted_in);
  // Even with the list in hand, nothing is chosen before consent.
  EXPECT_EQ(word(session.local_context(Json::object(), std::vector<Json>{project("P1", folder)})), "needs_opt_in");
  EXPECT_FALSE(session.project);

  session.env_project = "P1";
  outcome = session.local_context(Json::object(), std::nullopt);
  EXPECT_EQ(word(outcome), "needs_project");
  EXPECT_TRUE((*outcome)["projects"].empty());
  EXPECT_TRUE(session.opted_in);
}

TEST_F(LocalContext, ExplicitProjectChoice) {
  const std::vector<Json> list = {project("P1"), project("P2"), Json{{"id", 3}}, project("P1")};
  Session session = consented();
  session.project = Json{{"id", "P1"}, {"name", "stale"}};
  session.board = Json{{"id", "B1"}};
  session.work_item = "DB-1";

  auto outcome = session.local_context({{"project_id", "P1"}}, list);
  EXPECT_EQ(word(outcome), "ready");
  EXPECT_EQ(session.project, list[0]) << "the record is refreshed";
  EXPECT_EQ(session.board, (Json{{"id", "B1"}}));
  EXPECT_EQ(session.work_item, "DB-1");
  EXPECT_EQ(session.source, "session selection");

  outcome = session.local_context({{"action", "select"}, {"project_id", "P2"}}, list);
  EXPECT_EQ(word(outcome), "needs_board");
  EXPECT_EQ(session.project, list[1]);
  EXPECT_FALSE(session.board);
  EXPECT_EQ(session.work_item, "");

  for (const char* unknown : {"P9", "3", "p1"}) {
    EXPECT_EQ(word(session.local_context({{"project_id", unknown}}, list)),
              "error: Project is not accessible to the authenticated account.")
        << unknown;
  }
  EXPECT_EQ(session.project, list[1]);
}

TEST_F(LocalContext, ProjectFromTheEnvironment) {
  const std::string folder = dir("w");
  const std::vector<Json> list = {project("P1", folder), project("P2")};
  {
    Session session;
    session.env_project = "P2";
    session.cwd = folder;  // the environment wins over the workspace folder
    session.work_item = "DB-1";
    auto outcome = session.local_context(Json::object(), list);
    EXPECT_EQ(word(outcome), "needs_board");
    EXPECT_EQ(session.project, list[1]);
    EXPECT_EQ(session.source, "VELTRUN_PROJECT");
    EXPECT_TRUE(session.opted_in);
    EXPECT_EQ(session.work_item, "DB-1");

    // A project chosen earlier is never replaced by the environment.
    Session chosen = consented();
    chosen.env_project = "P2";
    chosen.project = list[0];
    chosen.source = "session selection";
    EXPECT_EQ(word(chosen.local_context(Json::object(), list)), "needs_board");
    EXPECT_EQ(chosen.project, list[0]);
    EXPECT_EQ(chosen.source, "session selection");
  }
  Session session;
  session.env_project = "P9";
  EXPECT_EQ(word(session.local_context(Json::object(), list)),
            "error: VELTRUN_PROJECT is not accessible; explicitly select an available project.");
  EXPECT_FALSE(session.project);
}

TEST_F(LocalContext, ProjectFromTheWorkspaceFolder) {
  const std::string w = dir("w");
  const std::string app = dir("w/app");
  const std::string src = dir("w/app/src");
  const std::string other = dir("w/application");
  const std::string twin = dir("twin");
  std::filesystem::create_directory_symlink(app, root.path() / "app-link");
  std::filesystem::create_directory_symlink(w, root.path() / "w-link");
  const std::vector<Json> list = {project("outer", w),     project("inner", app),
                                  project("twin-a", twin), project("twin-b", twin),
                                  project("none"),         project("link", (root.path() / "app-link").string())};
  struct Case {
    std::optional<std::string> cwd;
    std::string selected;              // "" when nothing is selected
    std::vector<std::string> offered;  // under "needs_project"
  };
  const std::vector<Case> cases = {
      {src, "", {"inner", "link"}},
      {(root.path() / "app-link/src").string(), "", {"inner", "link"}},
      {other, "outer", {}},
      {(root.path() / "w-link/application").string(), "outer", {}},
      {twin, "", {"twin-a", "twin-b"}},
      {(root.path() / "elsewhere").string(), "", {"outer", "inner", "twin-a", "twin-b", "none", "link"}},
      {std::nullopt, "", {"outer", "inner", "twin-a", "twin-b", "none", "link"}},
  };
  for (const Case& c : cases) {
    Session session = consented();
    session.cwd = c.cwd;
    auto outcome = session.local_context(Json::object(), list);
    const std::string label = c.cwd.value_or("(none)");
    if (c.selected.empty()) {
      EXPECT_EQ(word(outcome), "needs_project") << label;
      EXPECT_EQ(offered(outcome), c.offered) << label;
      EXPECT_FALSE(session.project) << label;
    } else {
      EXPECT_EQ(word(outcome), "needs_board") << label;
      EXPECT_EQ(context::field(*session.project, "id"), c.selected) << label;
      EXPECT_EQ(session.source, "workspace folder");
    }
  }
}

TEST_F(LocalContext, DeletedWorkspaceFolderMatchesNothing) {
  const std::string app = dir("w/app");
  const std::vector<Json> list = {project("P1", app), project("P2")};
  Session session = consented();
  session.cwd = app;
  std::filesystem::remove_all(root.path() / "w");
  auto outcome = session.local_context(Json::object(), list);
  EXPECT_EQ(word(outcome), "needs_project");
  EXPECT_EQ(offered(outcome), (std::vector<std::string>{"P1", "P2"}));
}

}  // namespace
