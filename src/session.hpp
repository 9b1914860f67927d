#pragma once
// The conversation's session record, its operations and the state machine
// behind veltrun_session and the session gate. Only the session tool, the
// dispatcher and the server see it.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client.hpp"
#include "team_core/json_text.hpp"

struct Environment;

struct Session {
  std::string source;              // "", "session selection", "VELTRUN_PROJECT", "workspace folder"
  std::string work_item;           // bound work-item reference, "" when none
  std::optional<std::string> cwd;  // workspace folder, kept as given
  std::optional<Json> project;     // selected project record
  std::optional<Json> board;       // selected board record
  bool disabled = false;
  bool opted_in = false;
  std::string env_project;  // VELTRUN_PROJECT: the project to select, "" when none
  std::string env_board;    // VELTRUN_BOARD: the board of that project, "" when none

  // The session at start: workspace folder, bound work item and the
  // environment's project and board.
  static Session from_env(const Environment& env);

  // The session status object for a state word; never fails.
  Json status(std::string_view state, std::vector<Json> projects) const;

  // Session actions, workspace folder, consent gate and project choice.
  // Without a project list this is the first phase of a resolution.
  Result<Json> local_context(const Json& arguments, std::optional<std::vector<Json>> projects);
};

// The session state machine behind veltrun_session and the session gate.
Result<Json> session_context(Session& session, const Client& client, const Json& arguments);
