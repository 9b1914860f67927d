#pragma once
// What every tool answers with, and the small helpers its handlers share.
#include <algorithm>
#include <expected>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

// A tool call's result: a success text, or an error text for the agent.
using ToolOutcome = std::expected<std::string, std::string>;

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
