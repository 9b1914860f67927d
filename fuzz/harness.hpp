#pragma once
// What the fuzz targets share: the reply check, a scripted service answered
// through the client's transport seam, and a conversation brought to a ready
// session through that seam.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client.hpp"
#include "context.hpp"
#include "server.hpp"
#include "session.hpp"
#include "team_core/json_text.hpp"

namespace fuzz {

// Stops the process so that libFuzzer keeps the input: a broken invariant
// is a finding like any sanitizer report.
[[noreturn]] void fail(std::string_view what, std::string_view detail);

// The ids of the lines in text that must be answered, in order: the loop's
// own rule (UTF-8 lines up to the first that is not, one JSON object each,
// with an "id" that is not null).
std::vector<Json> answered_ids(std::string_view text);

// Fails unless line is one compact JSON-RPC reply for id on a single line.
void check_reply(std::string_view line, const Json& id);

// Every reply a loop printed, checked against the ids it had to answer.
class Replies {
 public:
  server::ReplySink sink();
  // Fails unless the replies answer exactly these ids, in order.
  void expect(const std::vector<Json>& ids) const;

 private:
  std::vector<std::string> lines_;
};

// Reads a fuzz input front to back; past its end every read yields zeros.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> data) : data_(data) {}
  bool empty() const { return at_ >= data_.size(); }
  std::uint8_t byte();
  std::uint64_t word();
  // Up to max bytes, ending before a 0 byte (which is consumed) or the end.
  std::string text(std::size_t max);

 private:
  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
};

// A JSON value grown from the bytes: the service's own keys and values mixed
// with arbitrary numbers and texts.
Json grown_json(Bytes& in, int depth = 0);

// Realistic answers for project P1 with boards B1 and items W1, W2: the
// requests of every tool succeed; anything unknown gets a 404.
HttpReply scripted(const HttpExchange& request);

// A client whose requests all go through the transport, and its session.
class Conversation {
 public:
  explicit Conversation(HttpTransport transport);
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  // Feeds text to the loop, with every reply checked.
  void serve(std::string_view text);
  bool ready() const { return session_.project && session_.board; }

 private:
  std::chrono::seconds elapsed_{0};  // a monotonic clock that moves on 6 s at each reading
  Client client_;
  Session session_;
};

// One "tools/call" line with an id.
std::string tool_call(int id, std::string_view tool, std::string_view arguments);

// Consent, sign-in and the choice of project P1: against scripted answers
// these lines bring a session to ready.
std::string setup_lines();

}  // namespace fuzz
