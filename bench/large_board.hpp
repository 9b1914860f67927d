#pragma once
// A board the size of a large real one: 15,000 work items with 30 events and
// 5 comments each, paged 100 at a time, with a few hundred bytes of
// description per item. The pages are rendered as text once, so that a tool
// call through the transport seam costs the server alone.
// scripts/veltrun-standin --case large serves the same texts to the real
// process, for scripts/measure-large-board: a change here belongs there too.
#include <algorithm>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "http_exchange.hpp"
#include "team_core/json_text.hpp"

namespace large_board {

inline constexpr int item_count = 15'000;
inline constexpr int page_size = 100;
inline constexpr int events_per_item = 30;
inline constexpr int comments_per_item = 5;
// The item the one-item tools read: the middle of the board.
inline constexpr int middle_item = item_count / 2;
inline constexpr std::string_view base_url = "http://large-board.invalid/api";

// The prefix and n in decimal. Appended, not added: GCC 12 at -O3 takes
// "W" + std::to_string(n) for an overlapping copy (-Wrestrict).
inline std::string numbered(std::string_view prefix, int n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

// Items are numbered from 1, in the order the service lists them.
inline std::string item_id(int n) { return numbered("W", n); }
inline std::string item_key(int n) { return numbered("DB-", n); }

// The workflow order; an item's history walks it round and round.
inline constexpr std::string_view phases[] = {"inbox", "refinement", "in_progress", "review", "uat", "done"};

inline std::string_view phase_at(int n, int step) { return phases[(n + step) % 6]; }

// Item n is created n ten-minute steps after the board's start; its phase
// changes every three hours, its comments come every two.
inline constexpr std::time_t board_start = 1'748'736'000;  // 2025-06-01T00:00:00Z
inline constexpr long long item_interval_seconds = 600;
inline constexpr long long phase_change_seconds = 10'800;
inline constexpr long long comment_interval_seconds = 7'200;

// "YYYY-MM-DDTHH:MM:SSZ", seconds after the board's start.
inline std::string instant(long long seconds) {
  const std::time_t at = board_start + seconds;
  std::tm parts{};
  gmtime_r(&at, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

inline long long created_seconds(int n) { return n * item_interval_seconds; }

inline std::string user(int n) { return numbered("u", n % 4 + 1); }

inline Json columns() {
  Json list = Json::array();
  for (std::string_view phase : phases) {
    list.push_back({{"id", "C-" + std::string(phase)}, {"name", std::string(phase)}, {"isTerminal", phase == "done"}});
  }
  return list;
}

inline Json board() { return {{"id", "B1"}, {"name", "Main"}, {"projectId", "P1"}, {"columns", columns()}}; }

inline Json team() {
  Json members = Json::array();
  for (int n = 0; n < 4; ++n) members.push_back({{"userId", user(n)}, {"name", "Member " + std::to_string(n + 1)}});
  return {{"projectId", "P1"}, {"currentUserId", "u1"}, {"members", std::move(members)}};
}

inline std::string description(int n) {
  return "The sync worker drops uploads when storage answers slowly; DB-" + std::to_string(n) +
         " tracks the \"retry\" fix.\n\n- Failed uploads are retried with backoff, at most three times.\n- Each "
         "failure is logged with its request id.\n- Uploads that succeed at once behave as before.\n\nSee DB-" +
         std::to_string(n > 1 ? n - 1 : 1) + " for the earlier attempt.";
}

inline Json work_item(int n) {
  static constexpr std::string_view types[] = {"story", "task", "bug"};
  static constexpr std::string_view subjects[] = {"Retry failed uploads", "Show sync status", "Export the audit log",
                                                  "Rotate storage keys"};
  const std::string_view phase = phase_at(n, events_per_item - 1);
  return {{"id", item_id(n)},
          {"key", item_key(n)},
          {"reference", item_key(n)},
          {"title", std::string(subjects[n % 4]) + " in area " + std::to_string(n % 97)},
          {"description", description(n)},
          {"phase", std::string(phase)},
          {"type", std::string(types[n % 3])},
          {"boardId", "B1"},
          {"projectId", "P1"},
          {"columnId", "C-" + std::string(phase)},
          {"assigneeUserId", n % 5 ? Json(user(n)) : Json(nullptr)},
          {"createdAt", instant(created_seconds(n))}};
}

// The creation, then one phase change after another.
inline Json events(int n) {
  Json list = Json::array();
  for (int step = 0; step < events_per_item; ++step) {
    Json event = {{"eventId", numbered("E", n) + "-" + std::to_string(step)},
                  {"workItemId", item_id(n)},
                  {"actorUserId", user(n + step)},
                  {"occurredAt", instant(created_seconds(n) + step * phase_change_seconds)}};
    if (step == 0) {
      event["eventType"] = "work_item.created";
      event["payload"] = {{"phase", std::string(phase_at(n, 0))}};
    } else {
      event["eventType"] = "work_item.status_changed";
      event["payload"] = {{"from", std::string(phase_at(n, step - 1))}, {"to", std::string(phase_at(n, step))}};
    }
    list.push_back(std::move(event));
  }
  return list;
}

inline Json comments(int n) {
  Json list = Json::array();
  for (int k = 0; k < comments_per_item; ++k) {
    list.push_back({{"id", numbered("CM", n) + "-" + std::to_string(k)},
                    {"author", user(n + k)},
                    {"body",
                     "Checked on staging: the retry holds for two attempts, the third times out after 30 s. "
                     "Note " +
                         std::to_string(k + 1) + " on DB-" + std::to_string(n) + "."},
                    {"createdAt", instant(created_seconds(n) + (k + 1) * comment_interval_seconds)}});
  }
  return list;
}

// include is "", "comments" or "events", as the client asks.
inline Json listed_item(int n, std::string_view include) {
  Json item = work_item(n);
  if (include == "comments") item["comments"] = comments(n);
  if (include == "events") item["events"] = events(n);
  return item;
}

inline constexpr int page_count = (item_count + page_size - 1) / page_size;

// The request path of a page, as the client builds it.
inline std::string page_path(int page, std::string_view include) {
  std::string path = "board/projects/P1/work-items?limit=100";
  if (!include.empty()) path += "&include=" + std::string(include);
  path += "&boardId=B1";
  if (page > 0) path += "&cursor=" + item_id(page * page_size);
  return path;
}

inline std::string page_text(int page, std::string_view include) {
  Json list = Json::array();
  const int last = std::min(item_count, (page + 1) * page_size);
  for (int n = page * page_size + 1; n <= last; ++n) list.push_back(listed_item(n, include));
  Json body = {{"items", std::move(list)}};
  body["nextCursor"] = page + 1 < page_count ? Json(item_id(last)) : Json(nullptr);
  return json_text::compact(body);
}

// Every text the service answers on that board: the session's lists, the
// team, the pages of each listing, and the one item's comments and findings.
inline std::map<std::string, std::string> answers() {
  std::map<std::string, std::string> texts;
  texts["board/projects"] = json_text::compact({{"projects", Json::array({{{"id", "P1"}, {"name", "Alpha"}}})}});
  texts["board/projects/P1/boards"] = json_text::compact({{"boards", Json::array({board()})}});
  texts["projects/P1/team"] = json_text::compact(team());
  for (std::string_view include : {"", "comments", "events"}) {
    for (int page = 0; page < page_count; ++page) texts[page_path(page, include)] = page_text(page, include);
  }
  const std::string item_path = "board/projects/P1/work-items/" + item_id(middle_item);
  texts[item_path + "/comments"] = json_text::compact({{"comments", comments(middle_item)}});
  texts[item_path + "/review-findings"] = json_text::compact(
      {{"findings",
        Json::array({{{"id", "F1"}, {"status", "open"}, {"severity", "major"}, {"title", "No backoff"}}})}});
  return texts;
}

// The answers above, served through ClientHooks::transport: each reply is a
// copy of its text, as a transport would collect it; anything else is a 404.
class Service {
 public:
  Service() : texts_(answers()) {}

  HttpTransport transport() const {
    return [this](const HttpExchange& request) -> HttpAnswer {
      const std::string_view url = request.url;
      if (!url.starts_with(base_url) || url.size() <= base_url.size()) return HttpReply{404, "{}"};
      const auto found = texts_.find(std::string(url.substr(base_url.size() + 1)));
      if (found == texts_.end()) return HttpReply{404, "{}"};
      return HttpReply{200, found->second};
    };
  }

 private:
  std::map<std::string, std::string> texts_;
};

}  // namespace large_board
