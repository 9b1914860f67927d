#include "tool_outcome.hpp"

std::string reply_too_large() {
  return "The result is larger than one reply may hold (" + std::to_string(max_reply_bytes) +
         " bytes). Read one work item with get_work_item, or the board's counts with board_summary.";
}

namespace {

ToolOutcome within_reply(std::optional<std::string> text) {
  if (!text) return std::unexpected(reply_too_large());
  return std::move(*text);
}

}  // namespace

ToolOutcome printed_compact(const Json& value) { return within_reply(json_text::compact(value, max_reply_bytes)); }

ToolOutcome printed_pretty(const Json& value) { return within_reply(json_text::pretty(value, max_reply_bytes)); }
