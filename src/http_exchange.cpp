#include "http_exchange.hpp"

namespace client_http {

std::optional<std::string_view> readable_body(const HttpReply& reply) {
  if (!reply.body_read || reply.body.size() > max_answer_bytes) return std::nullopt;
  return reply.body;
}

std::optional<Json> parsed_body(const HttpReply& reply) {
  const auto body = readable_body(reply);
  return body ? json_text::parse(*body, max_answer_values) : std::nullopt;
}

}  // namespace client_http
