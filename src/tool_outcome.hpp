#pragma once
// What every tool answers with, and the small helpers its handlers share.
#include <algorithm>
#include <cstddef>
#include <expected>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "team_core/json_text.hpp"

// A tool's text: a success text, or an error text for the agent.
using ToolText = std::expected<std::string, std::string>;

// A tool call's result: its text, and what the call wrote. The text may not
// fit in a reply; what it wrote must reach the agent all the same.
struct ToolOutcome : ToolText {
  using ToolText::ToolText;
  ToolOutcome(ToolText text) : ToolText(std::move(text)) {}  // NOLINT(google-explicit-constructor)

  // The text grew past what one reply may hold and was not kept.
  static ToolOutcome oversized();
  bool too_large = false;
  // The sentence that says what the call wrote, or may have written, and
  // what to read before any retry; empty for a call that wrote nothing.
  std::string written;
};

// The most one reply line may hold. The largest a real board needs, the
// listing of 15,000 work items with their comments, is about 30 MB; hosts
// read a reply whole, and a few such lines are all a host should be asked to
// take in at once.
inline constexpr std::size_t max_reply_bytes = std::size_t{64} << 20;

// The text of a call whose reply would not fit: a narrower call for the same
// need, when the tool has one, then what the call wrote.
std::string reply_too_large(std::string_view narrower, std::string_view written);

// The text of a call during which memory ran out.
std::string out_of_memory(std::string_view narrower);

// A tool's JSON result printed within max_reply_bytes; oversized past it.
ToolOutcome printed_compact(const Json& value);
ToolOutcome printed_pretty(const Json& value);

// An error text, ready to return as any Result or ToolOutcome.
inline std::unexpected<std::string> failure(std::string_view text) { return std::unexpected(std::string(text)); }

// A write whose outcome is unknown: why, then the sentence that forbids an
// automatic retry.
inline std::unexpected<std::string> unknown_outcome(std::string_view reason, std::string_view sentence) {
  std::string text(reason);
  text += ' ';
  text += sentence;
  return std::unexpected(std::move(text));
}

// Whether word is one of words, compared byte for byte; a braced list of
// texts works too.
template <typename Words = std::initializer_list<std::string_view>>
bool one_of(std::string_view word, const Words& words) {
  return std::ranges::find(words, word) != std::ranges::end(words);
}
