#include "harness.hpp"

#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "unicode_text.hpp"

namespace fuzz {
namespace {

using namespace std::chrono_literals;

constexpr std::array<std::string_view, 56> service_keys = {"id",
                                                           "key",
                                                           "reference",
                                                           "title",
                                                           "name",
                                                           "boardId",
                                                           "projectId",
                                                           "phase",
                                                           "status",
                                                           "columnId",
                                                           "columns",
                                                           "isTerminal",
                                                           "items",
                                                           "workItems",
                                                           "work_items",
                                                           "data",
                                                           "results",
                                                           "nextCursor",
                                                           "projects",
                                                           "boards",
                                                           "pages",
                                                           "page",
                                                           "workItem",
                                                           "comments",
                                                           "findings",
                                                           "events",
                                                           "eventType",
                                                           "occurredAt",
                                                           "payload",
                                                           "from",
                                                           "to",
                                                           "workItemId",
                                                           "eventId",
                                                           "createdAt",
                                                           "assigneeUserId",
                                                           "currentUserId",
                                                           "members",
                                                           "userId",
                                                           "version",
                                                           "bodyMarkdown",
                                                           "kind",
                                                           "spaceId",
                                                           "message",
                                                           "device_code",
                                                           "user_code",
                                                           "verification_uri_complete",
                                                           "expires_in",
                                                           "interval",
                                                           "repoPath",
                                                           "type",
                                                           "body",
                                                           "labels",
                                                           "priority",
                                                           "description",
                                                           "verdict",
                                                           "summary"};

constexpr std::array<std::string_view, 40> service_words = {
    "P1",
    "P2",
    "B1",
    "B2",
    "W1",
    "W2",
    "DB-7",
    "DB-8",
    "F1",
    "PG1",
    "user-1",
    "user-2",
    "inbox",
    "refinement",
    "in_progress",
    "review",
    "uat",
    "done",
    "approved",
    "pending",
    "denied",
    "expired",
    "work_item.created",
    "work_item.status_changed",
    "2026-12-01T09:00:00Z",
    "2026-12-01T10:00:00.250+01:00",
    "1970-01-01T00:00:00Z",
    "0000-01-01T00:00:00+23:59",
    "9999-12-31T23:59:60.999999999-23:59",
    "https://veltrun.team/app/device?code=X",
    "vlt_live_x.eyJzdWIiOiJ1c2VyLTEifQ.s",
    "design",
    "draft",
    "story",
    "task",
    "c1",
    "c2",
    "",
    " \u00a0",
    "\u2028",
};

constexpr std::string_view signed_in_key = "vlt_live_x.eyJzdWIiOiJ1c2VyLTEifQ.sig";  // payload {"sub":"user-1"}

HttpReply answer(const Json& value, long status = 200) { return HttpReply{status, json_text::compact(value), true}; }

Json work_item(std::string_view id, std::string_view key, std::string_view title, std::string_view phase,
               std::string_view type, Json assignee, std::string_view created, std::string_view column) {
  return Json{{"id", id},
              {"key", key},
              {"title", title},
              {"phase", phase},
              {"type", type},
              {"boardId", "B1"},
              {"projectId", "P1"},
              {"assigneeUserId", std::move(assignee)},
              {"createdAt", created},
              {"columnId", column}};
}

Json comments_of(std::string_view id) {
  if (id != "W1") return Json::array();
  return Json::array({Json{{"id", "C1"}, {"body", "Repro attached."}}});
}

Json events_of(std::string_view id) {
  if (id != "W2") return Json::array();
  return Json::array({
      Json{{"workItemId", "W2"}, {"eventId", "E1"}, {"eventType", "work_item.created"}},
      Json{{"workItemId", "W2"},
           {"eventId", "E3"},
           {"eventType", "work_item.status_changed"},
           {"occurredAt", "2026-12-02T09:30:00Z"},
           {"payload", {{"from", "review"}, {"to", "done"}}}},
      Json{{"workItemId", "W2"},
           {"eventId", "E2"},
           {"eventType", "work_item.status_changed"},
           {"occurredAt", "2026-12-01T11:00:01.5+02:00"},
           {"payload", {{"from", "inbox"}, {"to", "review"}}}},
  });
}

// The board's items, with what the query asks to include.
Json work_items(std::string_view query) {
  Json items = Json::array({
      work_item("W1", "DB-7", "Retry flow", "inbox", "story", nullptr, "2026-12-01T09:00:00Z", "c1"),
      work_item("W2", "DB-8", "Export CSV", "done", "task", "user-2", "2026-12-01T10:00:00.250+01:00", "c2"),
  });
  for (Json& item : items) {
    const std::string id = context::field(item, "id");
    if (query.find("include=comments") != std::string_view::npos) item["comments"] = comments_of(id);
    if (query.find("include=events") != std::string_view::npos) item["events"] = events_of(id);
  }
  return Json{{"items", std::move(items)}, {"nextCursor", nullptr}};
}

Json page() {
  return Json{{"id", "PG1"},
              {"projectId", "P1"},
              {"version", 3},
              {"status", "approved"},
              {"kind", "design"},
              {"title", "System Design"},
              {"bodyMarkdown", "Queues."}};
}

// Requests on one work item: what follows "board/projects/P1/work-items/ID/".
std::optional<HttpReply> on_item(std::string_view method, std::string_view id, std::string_view rest,
                                 const Json& body) {
  if (id != "W1" && id != "W2") return std::nullopt;
  if (method == "GET" && rest == "comments") return answer(Json{{"comments", comments_of(id)}});
  if (method == "POST" && rest == "comments") return answer(Json{{"id", "C2"}}, 201);
  if (method == "GET" && rest == "review-findings") {
    return answer(Json{{"findings", Json::array({Json{{"id", "F1"}, {"status", "open"}}})}});
  }
  if (method == "POST" && rest == "review-findings/verdict") return HttpReply{204, "", true};
  if (method == "PATCH" && rest.starts_with("review-findings/")) {
    return answer(Json{{"id", rest.substr(16)}, {"status", context::field(body, "status")}});
  }
  if (method == "PATCH" && rest == "phase") return answer(Json{{"phase", context::field(body, "phase")}});
  if (method == "PATCH" && rest == "assignment") {
    const Json assignee = body.is_object() && body.contains("assigneeUserId") ? body["assigneeUserId"] : Json();
    return answer(
        Json{{"workItem", {{"id", id}, {"boardId", "B1"}, {"projectId", "P1"}, {"assigneeUserId", assignee}}}});
  }
  return std::nullopt;
}

std::optional<HttpReply> route(std::string_view method, std::string_view path, std::string_view query,
                               const Json& body) {
  constexpr std::string_view items_path = "board/projects/P1/work-items";
  if (method == "POST" && path == "device/authorize") {
    return answer(Json{{"device_code", "device-secret"},
                       {"user_code", "WDJB-MJHT"},
                       {"verification_uri_complete", "https://veltrun.team/app/device?code=WDJB-MJHT"},
                       {"expires_in", 600},
                       {"interval", 5}});
  }
  if (method == "POST" && path == "device/token") return answer(Json{{"status", "approved"}, {"key", signed_in_key}});
  if (method == "GET" && path == "board/projects") {
    return answer(
        Json{{"projects", Json::array({Json{{"id", "P1"}, {"name", "Alpha"}}, Json{{"id", "P2"}, {"name", "Beta"}}})}});
  }
  if (method == "GET" && path == "board/projects/P1/boards") {
    return answer(Json::array({Json{{"id", "B1"},
                                    {"name", "Main"},
                                    {"columns", Json::array({Json{{"id", "c1"}, {"isTerminal", false}},
                                                             Json{{"id", "c2"}, {"isTerminal", true}}})}}}));
  }
  if (method == "GET" && path == "board/projects/P2/boards") return answer(Json{{"boards", Json::array()}});
  if (method == "GET" && path == items_path) return answer(work_items(query));
  if (method == "POST" && path == items_path) {
    return answer(Json{{"workItem",
                        {{"id", "W9"},
                         {"key", "DB-12"},
                         {"title", context::field(body, "title")},
                         {"phase", "inbox"},
                         {"boardId", context::field(body, "boardId")},
                         {"projectId", "P1"}}}},
                  201);
  }
  if (path.starts_with(items_path) && path.size() > items_path.size() && path[items_path.size()] == '/') {
    const std::string_view rest = path.substr(items_path.size() + 1);
    const auto slash = rest.find('/');
    if (slash != std::string_view::npos) return on_item(method, rest.substr(0, slash), rest.substr(slash + 1), body);
  }
  if (method == "GET" && path == "projects/P1/team") {
    return answer(Json{{"projectId", "P1"},
                       {"currentUserId", "user-1"},
                       {"members", Json::array({Json{{"userId", "user-1"}, {"name", "Ana"}},
                                                Json{{"userId", "user-2"}, {"name", "Bo"}}})}});
  }
  if (method == "GET" && path == "docs/projects/P1/pages") {
    return answer(Json{{"pages", Json::array({Json{{"id", "PG1"}, {"kind", "design"}, {"title", "System Design"}}})}});
  }
  if (method == "GET" && path == "docs/projects/P1/pages/PG1") return answer(Json{{"page", page()}});
  if (method == "PATCH" && path == "docs/projects/P1/pages/PG1") {
    Json edited = page();
    edited["version"] = 4;
    if (body.is_object() && body.contains("bodyMarkdown")) edited["bodyMarkdown"] = body["bodyMarkdown"];
    if (body.is_object() && body.contains("title")) edited["title"] = body["title"];
    return answer(Json{{"page", std::move(edited)}});
  }
  if (method == "POST" && path == "docs/projects/P1/pages") {
    return answer(Json{{"page",
                        {{"id", "PG9"},
                         {"projectId", "P1"},
                         {"title", context::field(body, "title")},
                         {"status", "draft"},
                         {"spaceId", "S1"},
                         {"version", 1}}}},
                  201);
  }
  return std::nullopt;
}

}  // namespace

void fail(std::string_view what, std::string_view detail) {
  std::string text = "fuzz invariant broken: " + std::string(what) + "\n" + std::string(detail.substr(0, 4096)) + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  std::abort();
}

std::vector<Json> answered_ids(std::string_view text) {
  std::vector<Json> requests;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) {
    if (!unicode_text::valid_utf8(line)) break;
    std::string_view content = line;
    if (content.ends_with('\r')) content.remove_suffix(1);
    const auto request = json_text::parse(content);
    if (!request || !request->is_object()) continue;
    const auto id = request->find("id");
    if (id != request->end() && !id->is_null()) requests.push_back(*request);
  }
  return requests;
}

void check_reply(std::string_view line, const Json& request) {
  if (line.find('\n') != std::string_view::npos) fail("reply spans lines", line);
  const Json reply = Json::parse(line.begin(), line.end(), nullptr, false);
  if (reply.is_discarded()) fail("reply is not JSON", line);
  if (json_text::compact(reply) != line) fail("reply is not compact JSON in key order", line);
  if (!reply.is_object() || reply.value("jsonrpc", Json()) != "2.0") fail("reply is not JSON-RPC 2.0", line);
  if (reply.value("id", Json()) != request.at("id")) fail("reply id differs from the request's", line);

  const Json method = request.value("method", Json());
  const bool known = method == "ping" || method == "initialize" || method == "tools/list" || method == "tools/call";
  if (!known) {
    const Json not_found = {{"code", -32601}, {"message", "Method not found"}};
    if (reply.size() != 3 || reply.value("error", Json()) != not_found) fail("unknown method not refused", line);
    return;
  }
  if (reply.size() != 3 || !reply.contains("result")) fail("success reply without its result", line);
  const Json& result = reply["result"];
  if (method == "ping" && result != Json::object()) fail("ping result is not empty", line);
  if (method != "tools/call") return;
  const bool shaped = result.is_object() && result.size() == 2 && result.value("isError", Json()).is_boolean() &&
                      result.value("content", Json()).is_array() && result["content"].size() == 1 &&
                      result["content"][0].is_object() && result["content"][0].size() == 2 &&
                      result["content"][0].value("type", Json()) == "text" &&
                      result["content"][0].value("text", Json()).is_string();
  if (!shaped) fail("tool result out of shape", line);
}

server::ReplySink Replies::sink() {
  return [this](std::string_view line) -> std::expected<void, std::string> {
    lines_.emplace_back(line);
    return {};
  };
}

void Replies::expect(const std::vector<Json>& requests) const {
  if (lines_.size() != requests.size()) {
    fail("one reply per request with an id",
         std::to_string(requests.size()) + " requests, " + std::to_string(lines_.size()) + " replies");
  }
  for (std::size_t i = 0; i < lines_.size(); ++i) check_reply(lines_[i], requests[i]);
}

std::uint8_t Bytes::byte() { return empty() ? 0 : data_[at_++]; }

std::uint64_t Bytes::word() {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | byte();
  return value;
}

std::string Bytes::text(std::size_t max) {
  std::string out;
  while (!empty() && out.size() < max) {
    const std::uint8_t c = byte();
    if (c == 0) break;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

Json grown_json(Bytes& in, int depth) {
  constexpr int max_depth = 6;
  switch (in.byte() % 11) {
    case 0:
      return nullptr;
    case 1:
      return in.byte() % 2 == 1;
    case 2:
      return static_cast<std::int8_t>(in.byte());
    case 3:
      return static_cast<std::int64_t>(in.word());
    case 4:
      return in.word();
    case 5: {
      const double number = std::bit_cast<double>(in.word());
      return std::isfinite(number) ? number : 0.5;  // JSON text has no infinities or NaN
    }
    case 6:
      return service_words[in.byte() % service_words.size()];
    case 7:
      return in.text(64);
    case 8: {
      Json array = Json::array();
      const int count = depth < max_depth ? in.byte() % 6 : 0;
      for (int i = 0; i < count; ++i) array.push_back(grown_json(in, depth + 1));
      return array;
    }
    case 9: {
      Json object = Json::object();
      const int count = depth < max_depth ? in.byte() % 6 : 0;
      for (int i = 0; i < count; ++i) {
        std::string key = in.byte() % 4 == 0 ? in.text(16) : std::string(service_keys[in.byte() % service_keys.size()]);
        object[key] = grown_json(in, depth + 1);
      }
      return object;
    }
    default:
      return service_keys[in.byte() % service_keys.size()];
  }
}

HttpReply scripted(const HttpExchange& request) {
  const std::string base = std::string(VELTRUN_API_BASE_URL) + "/";
  const HttpReply not_found = answer(Json{{"message", "Not found"}}, 404);
  if (!request.url.starts_with(base)) return not_found;
  const std::string_view target = std::string_view(request.url).substr(base.size());
  const auto question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
  const Json body = request.body ? json_text::parse(*request.body).value_or(Json()) : Json();
  return route(request.method, path, query, body).value_or(not_found);
}

Conversation::Conversation(HttpTransport transport)
    : client_("/nonexistent/veltrun-fuzz", VELTRUN_API_BASE_URL,
              ClientHooks{.now =
                              [this] {
                                elapsed_ += 6s;
                                return login::Clock::time_point(elapsed_);
                              },
                          .open_browser = [](const std::string&) { return false; },
                          .transport = std::move(transport)}) {}

void Conversation::serve(std::string_view text) {
  Replies replies;
  std::istringstream in{std::string(text)};
  if (const auto served = server::serve(in, replies.sink(), session_, client_); !served) fail("write", served.error());
  replies.expect(answered_ids(text));
}

std::string tool_call(int id, std::string_view tool, std::string_view arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" +
         std::string(tool) + R"(","arguments":)" + std::string(arguments) + "}}\n";
}

std::string setup_lines() {
  return tool_call(1, "veltrun_session", R"({"action":"enable"})") +
         tool_call(2, "veltrun_login", R"({"action":"start"})") +
         tool_call(3, "veltrun_login", R"({"action":"poll"})") +
         tool_call(4, "veltrun_session", R"({"action":"select","project_id":"P1"})");
}

}  // namespace fuzz
