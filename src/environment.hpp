#pragma once
// The process environment, read once at start. Nothing outside the process
// can change it under a running server, so a later reading would see the
// same values.
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

struct Environment {
  std::optional<std::string> home = {};  // HOME
  std::optional<std::string> cwd = {};   // VELTRUN_CWD: the agent's workspace folder, kept as given
  std::string work_item = {};            // VELTRUN_WORK_ITEM: the bound work item, "" when unset
  std::string project = {};              // VELTRUN_PROJECT: the project to select, "" when unset
  std::string board = {};                // VELTRUN_BOARD: that project's board, "" when unset
};

namespace environment {

// A variable's value, or nullptr when it is unset.
using Lookup = std::function<const char*(const char* name)>;

// Each variable when it is set and valid UTF-8; otherwise it counts as unset.
Environment read(const Lookup& lookup = std::getenv);

}  // namespace environment
