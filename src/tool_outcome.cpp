#include "tool_outcome.hpp"

namespace {

std::string followed_by(std::string text, std::string_view sentence) {
  if (!sentence.empty()) text.append(" ").append(sentence);
  return text;
}

ToolOutcome within_reply(std::optional<std::string> text) {
  if (!text) return ToolOutcome::oversized();
  return std::move(*text);
}

}  // namespace

ToolOutcome ToolOutcome::oversized() {
  ToolOutcome outcome = std::unexpected(std::string());
  outcome.too_large = true;
  return outcome;
}

std::string reply_too_large(std::string_view narrower, std::string_view written) {
  const std::string bound =
      "The result is larger than one reply may hold (" + std::to_string(max_reply_bytes) + " bytes).";
  return followed_by(followed_by(bound, narrower), written);
}

std::string out_of_memory(std::string_view narrower) {
  return followed_by(
      followed_by("The server ran out of memory for this call; the session and sign-in are kept.", narrower),
      "Do not retry a write automatically: read what it would have changed first.");
}

ToolOutcome printed_compact(const Json& value) { return within_reply(json_text::compact(value, max_reply_bytes)); }

ToolOutcome printed_pretty(const Json& value) { return within_reply(json_text::pretty(value, max_reply_bytes)); }
