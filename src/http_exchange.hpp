#pragma once
// One HTTP exchange with the service as the client's transport sees it.
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "team_core/answer_bounds.hpp"
#include "team_core/json_text.hpp"

// One request as it goes to the service.
struct HttpExchange {
  std::string method;
  std::string url;                       // the base URL joined with the path, query included
  std::vector<std::string> headers;      // "Name: value" lines; "Name:" asks for no such header at all
  std::optional<std::string> body;       // compact JSON, announced by a "Content-Type: application/json" line
  std::chrono::milliseconds timeout{0};  // the whole exchange may take this long, at most
};

// The final status of an answer and its body.
struct HttpReply {
  long status = 0;
  std::string body;
  bool body_read = true;  // false when the status arrived but its body could not be read
};

// Why no answer came back: whether the request may have reached the service.
// never_sent when no byte of the request was written to a connection,
// whatever stopped it (refused before sending, no connection made, a connect
// that timed out), so that a write may safely be tried again; maybe_sent
// once one byte was, however the exchange failed after it.
enum class Unanswered { maybe_sent, never_sent };

// The answer to one exchange, or why there is none.
using HttpAnswer = std::expected<HttpReply, Unanswered>;

// Answers one exchange.
using HttpTransport = std::function<HttpAnswer(const HttpExchange&)>;

namespace client_http {

// The service's answer bounds, which the credential decoder keeps too.
using team_core::api::max_answer_bytes;
using team_core::api::max_answer_values;

// The body, when it was read whole and within max_answer_bytes.
std::optional<std::string_view> readable_body(const HttpReply& reply);

// The readable body as one JSON value of at most max_answer_values values.
std::optional<Json> parsed_body(const HttpReply& reply);

}  // namespace client_http
