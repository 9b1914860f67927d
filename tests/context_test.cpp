#include "context.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "environment.hpp"
#include "session.hpp"
#include "temp_dir.hpp"

namespace {

TEST(ContextIdentifier, AcceptsAsciiWordsOnly) {
  for (const char* ok : {"DB-0013", "a_b-C9", "0", "-", "_"}) {
    EXPECT_EQ(context::identifier(ok).value(), ok);
  }
  for (const char* bad : {"", " ", "a b", "a/b", "a.b", "a%20", "\u0219", "caf\u00e9", "a\n"}) {
    auto result = context::identifier(bad);
    ASSERT_FALSE(result.has_value()) << bad;
    EXPECT_EQ(result.error(), "Invalid identifier.");
  }
}

TEST(ContextField, ReadsOnlyStringMembers) {
  const Json record = Json::parse(R"({"id":7,"n":null,"a":[],"o":{},"s":"x","e":""})");
  EXPECT_EQ(context::field(record, "s"), "x");
  EXPECT_EQ(context::field(record, "e"), "");
  for (const char* key : {"id", "n", "a", "o", "missing"}) EXPECT_EQ(context::field(record, key), "") << key;
  EXPECT_EQ(context::field(Json::array({"x"}), "0"), "");
  EXPECT_EQ(context::field(Json("s"), "s"), "");
}

// Parsed text: a number counts only when written without sign, fraction or
// exponent; the parser keeps "-0" as an integer, its sign lost to the value.
TEST(ContextWholeNumber, PlainIntegersOfParsedTextOnly) {
  const struct {
    const char* text;
    std::optional<std::uint64_t> number;
  } cases[] = {
      {"0", 0},
      {"5", 5},
      {"18446744073709551615", UINT64_MAX},
      {"-0", std::nullopt},
      {"-5", std::nullopt},
      {"5.0", std::nullopt},
      {"1e3", std::nullopt},
      {"-0.0", std::nullopt},
      {"\"5\"", std::nullopt},
  };
  for (const auto& c : cases) {
    const Json value = json_text::parse(c.text).value();
    EXPECT_EQ(context::whole_number(&value), c.number) << c.text;
  }
}

// The "id" is read as field reads it, so a record without a string "id"
// answers to the empty id.
TEST(ContextFirstWithId, ComparesTheIdAsFieldReadsIt) {
  const struct {
    std::vector<Json> records;
    const char* id;
    int found;  // index of the record found, -1 for none
  } cases[] = {
      {{Json{{"id", "B1"}}, Json{{"id", "B2"}}, Json{{"id", "B1"}}}, "B1", 0},
      {{Json{{"id", "B1"}}, Json{{"id", "B2"}}}, "B2", 1},
      {{Json{{"id", "B1"}}, Json{{"id", "B2"}}}, "b1", -1},
      {{Json{{"id", "B1"}}, Json{{"id", "B2"}}}, "B1 ", -1},
      {{Json{{"id", "B1"}}, Json{{"id", 7}}}, "7", -1},
      {{Json{{"id", "B1"}}, Json{{"id", "B2"}}}, "", -1},
      {{Json{{"id", "B1"}}, Json{{"id", 7}}, Json{{"name", "n"}}}, "", 1},
      {{Json{{"id", "B1"}}, Json{{"name", "n"}}}, "", 1},
      {{Json{{"id", "B1"}}, Json{{"id", nullptr}}}, "", 1},
      {{Json{{"id", "B1"}}, Json("B2")}, "", 1},
      {{}, "", -1},
  };
  for (const auto& c : cases) {
    const Json* found = context::first_with_id(c.records, c.id);
    EXPECT_EQ(found ? found - c.records.data() : -1, c.found) << json_text::compact(Json(c.records)) << " " << c.id;
  }
}

TEST(SessionFromEnv, StartsFromTheEnvironmentAlone) {
  const Environment env{.home = "/home/u", .cwd = "", .work_item = "DB-0013", .project = "P1", .board = "B1"};
  const Session session = Session::from_env(env);
  EXPECT_EQ(session.cwd, std::optional<std::string>(""));
  EXPECT_EQ(session.work_item, "DB-0013");
  EXPECT_EQ(session.env_project, "P1");
  EXPECT_EQ(session.env_board, "B1");
  // The environment's project is chosen by the first resolution, not at start.
  EXPECT_EQ(session.source, "");
  EXPECT_FALSE(session.project || session.board || session.disabled || session.opted_in);

  const Session bare = Session::from_env(Environment{});
  EXPECT_FALSE(bare.cwd.has_value());
  EXPECT_EQ(bare.work_item, "");
  EXPECT_EQ(bare.env_project, "");
  EXPECT_EQ(bare.env_board, "");
}

TEST(SessionStatus, NeedsOptInCarriesTheRomanianQuestion) {
  Session session;
  const std::string printed = json_text::compact(session.status("needs_opt_in", {}));
  EXPECT_EQ(printed,
            "{\"board\":null,\"cwd\":null,\"instruction\":\"Present the returned question with its two choices "
            "using the host question UI when available (plain text fallback). Do this on the first interaction, "
            "not only after a workspace request. Wait for an explicit answer. If no, call "
            "veltrun_session(action=disable) and stop all Veltrun activity. If yes, call action=enable, then ask "
            "the project and board questions returned. Do not list projects before consent.\",\"project\":null,"
            "\"projects\":[],\"question\":{\"options\":[{\"action\":\"enable\",\"label\":\"Conectează Veltrun\"},"
            "{\"action\":\"disable\",\"label\":\"Continuă fără Veltrun\"}],\"title\":\"Vrei să conectezi Veltrun "
            "în această sesiune pentru taskuri și documentație?\"},\"source\":\"\",\"status\":\"needs_opt_in\"}");
  const Json question = session.status("needs_opt_in", {})["question"];
  EXPECT_EQ(question["title"].get<std::string>().size(), 81u);
  EXPECT_EQ(question["options"][0]["label"].get<std::string>().size(), 19u);
  EXPECT_EQ(question["options"][1]["label"].get<std::string>().size(), 24u);
  // Comma-below letters, never the cedilla forms.
  EXPECT_NE(question["title"].get<std::string>().find("\xC8\x99"), std::string::npos);
  EXPECT_EQ(question["title"].get<std::string>().find("\xC5\x9F"), std::string::npos);
}

TEST(SessionStatus, InstructionTextsByStateWord) {
  struct Case {
    const char* state;
    std::size_t bytes;
    const char* starts;
  };
  const Case cases[] = {
      {"disabled", 165, "Veltrun is off for this session."},
      {"no_boards", 110, "This project has no boards."},
      {"needs_auth", 453, "Authentication is missing or expired."},
      {"no_projects", 116, "No accessible projects were returned"},
      {"needs_board", 113, "Ask the user to choose a board"},
      {"needs_opt_in", 405, "Present the returned question"},
      {"needs_project", 144, "Ask the user to choose one of these projects"},
      {"ready", 103, "Use this session's project and board."},
      {"READY", 103, "Use this session's project and board."},
      {"whatever", 103, "Use this session's project and board."},
  };
  Session session;
  for (const auto& c : cases) {
    const Json status = session.status(c.state, {});
    const std::string text = status["instruction"];
    EXPECT_EQ(text.size(), c.bytes) << c.state;
    EXPECT_TRUE(text.starts_with(c.starts)) << c.state;
    EXPECT_EQ(status["status"], c.state);
    EXPECT_EQ(status.contains("question"), std::string(c.state) == "needs_opt_in") << c.state;
  }
}

TEST(SessionStatus, CopiesTheSessionChoices) {
  Session session;
  session.cwd = "";
  session.source = "workspace folder";
  session.project = Json{{"id", "P1"}};
  session.board = Json{{"id", "B1"}};
  const Json projects = Json::array({Json{{"id", "P1"}}, Json{{"id", "P2"}}});
  const Json status = session.status("needs_opt_in", projects.get<std::vector<Json>>());
  EXPECT_EQ(status["cwd"], "");
  EXPECT_EQ(status["source"], "workspace folder");
  EXPECT_EQ(status["project"], session.project.value());
  EXPECT_EQ(status["board"], session.board.value());
  EXPECT_EQ(status["projects"], projects);
  EXPECT_TRUE(status.contains("question"));  // even with a project selected
}

class Workspace : public ::testing::Test {
 protected:
  TempDir root;
  std::filesystem::path dir(const std::string& relative) {
    auto path = root.path() / relative;
    std::filesystem::create_directories(path);
    return path;
  }
  static Json project(const std::string& id, const Json& repo_path) {
    return Json{{"id", id}, {"repoPath", repo_path}};
  }
  static std::vector<std::string> ids(const std::vector<Json>& projects) {
    std::vector<std::string> out;
    for (const auto& p : projects) out.push_back(p["id"]);
    return out;
  }
};

TEST_F(Workspace, DeepestWholeComponentMatchesWin) {
  auto w = dir("w");
  auto app = dir("w/app");
  auto src = dir("w/app/src");
  dir("w/application");
  const std::vector<Json> projects = {
      project("outer", w.string()), project("inner", app.string()), project("twin", app.string() + "/"),
      project("none", nullptr),     project("empty", ""),           project("gone", (root.path() / "gone").string())};
  EXPECT_EQ(ids(context::candidates(projects, src)), (std::vector<std::string>{"inner", "twin"}));
  EXPECT_EQ(ids(context::candidates(projects, w)), (std::vector<std::string>{"outer"}));
  EXPECT_EQ(ids(context::candidates(projects, root.path() / "w/application")), (std::vector<std::string>{"outer"}));
  EXPECT_TRUE(context::candidates(projects, root.path() / "missing").empty());
  const std::string cut = app.string() + std::string("\0/x", 3);
  EXPECT_TRUE(context::candidates({project("nul", cut)}, src).empty());
  EXPECT_TRUE(context::candidates(projects, cut).empty());
}

// A path text longer than a system call takes names nothing, even when its
// "." components would resolve it to a folder within the limit.
TEST_F(Workspace, PathsPastTheSystemLimitNeverMatch) {
  auto app = dir("w/app");
  auto src = dir("w/app/src");
  // The path, then "/." components and at most one "/", to exactly bytes.
  auto padded = [](const std::filesystem::path& path, std::size_t bytes) {
    std::string text = path.string();
    while (text.size() + 2 <= bytes) text += "/.";
    if (text.size() < bytes) text += "/";
    return text;
  };
  const std::size_t limit = context::max_path_bytes;
  const struct {
    const char* name;
    std::string repo;
    std::string folder;
    bool matches;
  } cases[] = {
      {"plain", app.string(), src.string(), true},
      {"repository path at the limit", padded(app, limit), src.string(), true},
      {"repository path one past it", padded(app, limit + 1), src.string(), false},
      {"repository path of 600 KB", padded(app, 600'000), src.string(), false},
      {"folder at the limit", app.string(), padded(src, limit), true},
      {"folder one past it", app.string(), padded(src, limit + 1), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(context::candidates({project("p", c.repo)}, c.folder).size(), c.matches ? 1u : 0u) << c.name;
  }
}

TEST_F(Workspace, SymbolicLinksAreResolvedOnBothSides) {
  auto real = dir("real/repo");
  std::filesystem::create_directory_symlink(real, root.path() / "link");
  const std::vector<Json> by_target = {project("p", real.string())};
  const std::vector<Json> by_link = {project("p", (root.path() / "link").string())};
  EXPECT_EQ(context::candidates(by_target, root.path() / "link").size(), 1u);
  EXPECT_EQ(context::candidates(by_link, real).size(), 1u);
}

TEST_F(Workspace, RegistryFileRules) {
  auto write = [&](const std::string& text) { std::ofstream(root.path() / "projects.json") << text; };
  EXPECT_EQ(context::projects(root.path()).error(),
            "Project registry unavailable. Open Veltrun Team and sync projects.");
  std::filesystem::create_directory(root.path() / "projects.json");
  EXPECT_EQ(context::projects(root.path()).error(),
            "Project registry unavailable. Open Veltrun Team and sync projects.");
  std::filesystem::remove(root.path() / "projects.json");
  write("{\"id\":\"P1\"}");
  EXPECT_EQ(context::projects(root.path()).error(), "Invalid project registry.");
  write("not json");
  EXPECT_EQ(context::projects(root.path()).error(), "Invalid project registry.");
  write("\xff[]");
  EXPECT_EQ(context::projects(root.path()).error(),
            "Project registry unavailable. Open Veltrun Team and sync projects.");
  write(R"([{"id":"P1","repoPath":"/w"}, 5, {"id":"P1"}])");
  auto list = context::projects(root.path()).value();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1], Json(5));
}

// Just past either bound the registry is refused, as unreadable or as invalid.
TEST_F(Workspace, RegistryBounds) {
  auto write = [&](const std::string& text) { std::ofstream(root.path() / "projects.json") << text; };
  const std::string unavailable = "Project registry unavailable. Open Veltrun Team and sync projects.";
  write("[" + std::string(context::max_registry_bytes - 2, ' ') + "]");
  EXPECT_EQ(context::projects(root.path()).value(), std::vector<Json>{});
  write("[" + std::string(context::max_registry_bytes - 1, ' ') + "]");
  EXPECT_EQ(context::projects(root.path()).error(), unavailable);
  // The array and its elements count.
  auto zeros = [](std::size_t count) {
    std::string text = "[0";
    for (std::size_t i = 1; i < count; ++i) text += ",0";
    return text + "]";
  };
  write(zeros(context::max_registry_values - 1));
  EXPECT_EQ(context::projects(root.path()).value().size(), context::max_registry_values - 1);
  write(zeros(context::max_registry_values));
  EXPECT_EQ(context::projects(root.path()).error(), "Invalid project registry.");
  EXPECT_EQ(context::projects(std::nullopt).error(), unavailable);
}

}  // namespace
