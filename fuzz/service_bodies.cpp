// Arbitrary answers from the service to every request of a conversation that
// uses all eighteen tools. The input decides, request by request, whether the
// scripted answer comes back as it is, not at all (perhaps sent, or never
// sent), cut short, as raw bytes, as grown JSON or as the scripted JSON with
// one value replaced.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.hpp"

namespace {

constexpr std::array<long, 16> statuses = {200, 201, 204, 301, 302, 400, 401, 403,
                                           404, 409, 412, 422, 429, 500, 502, 503};

long status(fuzz::Bytes& in) {
  const std::uint8_t pick = in.byte();
  if (pick < 2 * statuses.size()) return statuses[pick % statuses.size()];
  return static_cast<long>((std::uint32_t{pick} << 8 | in.byte()) % 1000);
}

// The scripted value with one node replaced, removed or given a new member;
// the input walks down from the root to pick it.
void mutate(Json& value, fuzz::Bytes& in) {
  Json* node = &value;
  for (int step = 0; step < 8 && (node->is_object() || node->is_array()) && !node->empty(); ++step) {
    const std::uint8_t choice = in.byte();
    if (choice % 4 == 0) break;
    const std::size_t index = in.byte() % node->size();
    if (choice % 4 == 1) {
      if (node->is_array()) {
        node->erase(index);
      } else {
        node->erase(std::next(node->begin(), static_cast<std::ptrdiff_t>(index)));
      }
      return;
    }
    node = node->is_array() ? &(*node)[index] : &std::next(node->begin(), static_cast<std::ptrdiff_t>(index)).value();
  }
  if (node->is_object() && in.byte() % 2 == 0) {
    (*node)[in.text(16)] = fuzz::grown_json(in);
    return;
  }
  *node = fuzz::grown_json(in);
}

HttpAnswer answer(const HttpExchange& request, fuzz::Bytes& in) {
  // Past the input's end no answer comes: every later tool fails at once,
  // which keeps short inputs fast; the seeds reach the whole conversation.
  if (in.empty()) return std::unexpected(Unanswered::maybe_sent);
  HttpReply reply = fuzz::scripted(request);
  const std::uint8_t choice = in.byte();
  switch (choice % 8) {
    case 2:
      // The choice's next bit, so that the seeds keep their meaning.
      return std::unexpected(choice & 8 ? Unanswered::never_sent : Unanswered::maybe_sent);
    case 3:
      reply.body_read = false;
      return reply;
    case 4:
      return HttpReply{status(in), in.text(4096), true};
    case 5:
      return HttpReply{status(in), json_text::compact(fuzz::grown_json(in)), true};
    case 6:
      if (auto value = json_text::parse(reply.body)) {
        mutate(*value, in);
        reply.body = json_text::compact(*value);
      }
      return reply;
    case 7:
      reply.status = status(in);
      return reply;
    default:
      return reply;
  }
}

std::string every_tool() {
  using fuzz::tool_call;
  return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
         "\n" +
         fuzz::setup_lines() + tool_call(5, "project_context", "{}") + tool_call(6, "list_doc_pages", "{}") +
         tool_call(7, "get_doc_page", R"({"page":"design"})") + tool_call(8, "list_work_items", R"({"phase":"done"})") +
         tool_call(9, "get_work_item", R"({"reference":"DB-7"})") +
         tool_call(10, "post_comment", R"({"reference":"DB-7","body":"Retries land in #12."})") +
         tool_call(11, "post_review",
                   R"({"reference":"W1","verdict":"request_changes","summary":"Backoff","findings":["Cap it"]})") +
         tool_call(12, "resolve_finding", R"({"reference":"DB-7","finding_id":"F1","status":"fixed"})") +
         tool_call(13, "update_phase", R"({"reference":"DB-7","phase":"in_progress","reason":"Starting"})") +
         tool_call(14, "create_work_item", R"({"title":" Add retries ","labels":["api"]})") +
         tool_call(15, "create_doc_page", R"({"title":"Retry notes","body_markdown":"Draft."})") +
         tool_call(16, "update_doc_page",
                   R"({"page_id":"PG1","expected_version":3,"body_markdown":"Queues and retries."})") +
         tool_call(17, "list_project_members", "{}") + tool_call(18, "board_summary", "{}") +
         tool_call(19, "assign_work_item", R"({"reference":"DB-7","assignee_user_id":"user-2","reason":"Bo"})") +
         tool_call(20, "work_item_time", R"({"reference":"DB-8"})") +
         tool_call(21, "veltrun_login", R"({"action":"cancel"})") +
         tool_call(22, "veltrun_session", R"({"action":"status"})") +
         R"({"jsonrpc":"2.0","id":23,"method":"tools/list"})"
         "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Bytes in({data, size});
  fuzz::Conversation conversation([&in](const HttpExchange& request) { return answer(request, in); });
  conversation.serve(every_tool());
  return 0;
}
