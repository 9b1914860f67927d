#pragma once
// Team directory, the open/closed rule, the board summary, assignment and the
// phase-duration report.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "client.hpp"
#include "item_reference.hpp"
#include "team_core/json_text.hpp"
#include "tool_outcome.hpp"

namespace tracking {

// Ends the text of an assignment that may have happened: no usable echo
// confirms it.
inline constexpr std::string_view assignment_unknown_outcome = "Assignment outcome unverified. Read before retrying.";

// The six canonical phases of a work item, in workflow order.
inline constexpr std::array<std::string_view, 6> phases = {"inbox",  "refinement", "in_progress",
                                                           "review", "uat",        "done"};

// The wall clock the board summary stamps its "asOf" with.
using WallClock = ClientHooks::WallClock;

// The four tools, under the names their rows give them.
Json directory_definition(std::string_view name);
Json summary_definition(std::string_view name);
Json assign_definition(std::string_view name);
Json time_definition(std::string_view name);

// The text itself when it is one of the six phase words.
Result<std::string> phase(std::string_view text);

// Whether the item counts as closed on the board: its column decides before
// its phase does.
Result<bool> closed(const Json& item, const Json& board);

// The project's team directory, checked for scope and unique member ids.
Result<Json> directory(const Client& client, std::string_view project_id);

// The board's columns by id, for the open/closed rule of many items: looked
// up without a walk over the columns. The board must outlive it unchanged.
class Columns {
 public:
  explicit Columns(const Json& board);
  // Whether the column of that (non-empty) id is terminal.
  Result<bool> terminal(std::string_view column_id) const;

 private:
  std::optional<ChoiceIndex> by_id_;  // nothing when "columns" is no array
};

// closed, with the board's columns already indexed.
Result<bool> closed(const Json& item, const Columns& columns);

// Open work on a board, counted one item at a time as its pages arrive:
// only the counts per assignee and the ids seen are kept, within the list
// bounds. The board must outlive it unchanged.
class BoardCount {
 public:
  explicit BoardCount(const Json& board);
  void add(const Json& item);
  // The summary of the items added, in total and for the signed-in user.
  Result<Json> summary(const Client& client, std::string_view project_id, const WallClock& now) const;
  // The error of the first item that could not be counted: no later page
  // changes what the summary says of it.
  const std::optional<std::string>& error() const { return first_error_; }

 private:
  struct Open {
    std::int64_t items = 0;
    std::int64_t stories = 0;
  };
  // Counts a text that the count now keeps; false past the bound.
  bool keeps(std::string_view text);
  void count_open(const Json& item);

  Columns columns_;
  std::string board_id_;
  std::unordered_set<std::string, client_http::TextHash, std::equal_to<>> seen_;
  std::unordered_map<std::string, Open, client_http::TextHash, std::equal_to<>> open_by_assignee_;
  std::size_t kept_bytes_ = 0;  // of seen_ and open_by_assignee_
  Open open_;
  std::optional<std::string> first_error_;  // of the first item that cannot be counted
};

// Assigns or unassigns the item and verifies the service's echo.
ToolOutcome assign(const Client& client, std::string_view project_id, std::string_view board_id, const Json& item,
                   const Json& arguments);

// An RFC 3339 date-time as milliseconds since the Unix epoch.
Result<std::int64_t> timestamp(std::string_view text);

// Calendar time the item (listed with its events) spent in each phase.
Result<Json> time(const Json& item, const Json& board, std::int64_t now_ms);

}  // namespace tracking
