#include "environment.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Variables = std::map<std::string, std::string>;

Environment read(const Variables& variables) {
  return environment::read([&](const char* name) -> const char* {
    const auto found = variables.find(name);
    return found == variables.end() ? nullptr : found->second.c_str();
  });
}

// A variable that is unset or not valid UTF-8 counts as unset; an empty
// workspace folder is still a folder given.
TEST(Environment, ReadsEachVariableWhenSetAndUtf8) {
  struct Case {
    const char* name;
    Variables variables;
    Environment expected;
  };
  const std::vector<Case> cases = {
      {"none set", {}, {}},
      {"all set",
       {{"HOME", "/home/ü"},
        {"VELTRUN_CWD", "/w"},
        {"VELTRUN_WORK_ITEM", "DB-0013"},
        {"VELTRUN_PROJECT", "P1"},
        {"VELTRUN_BOARD", "B1"}},
       {.home = "/home/ü", .cwd = "/w", .work_item = "DB-0013", .project = "P1", .board = "B1"}},
      {"set but empty",
       {{"HOME", ""}, {"VELTRUN_CWD", ""}, {"VELTRUN_WORK_ITEM", ""}, {"VELTRUN_PROJECT", ""}, {"VELTRUN_BOARD", ""}},
       {.home = "", .cwd = ""}},
      {"not UTF-8",
       {{"HOME", "/home/\xff"},
        {"VELTRUN_CWD", "/w/\xff"},
        {"VELTRUN_WORK_ITEM", "\xc3"},
        {"VELTRUN_PROJECT", "P\xc3"},
        {"VELTRUN_BOARD", "\xed\xa0\x80"}},
       {}},
      {"other variables", {{"VELTRUN_TOKEN", "x"}, {"CWD", "/w"}, {"home", "/h"}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Environment env = read(c.variables);
    EXPECT_EQ(env.home, c.expected.home);
    EXPECT_EQ(env.cwd, c.expected.cwd);
    EXPECT_EQ(env.work_item, c.expected.work_item);
    EXPECT_EQ(env.project, c.expected.project);
    EXPECT_EQ(env.board, c.expected.board);
  }
}

}  // namespace
