#pragma once
// The board both benchmark files page through: 100 pages of 100 work items in
// every phase, a third of them stories, half assigned to "u1".
#include <string>
#include <vector>

#include "team_core/json_text.hpp"

namespace board_fixture {

inline constexpr int page_count = 100;
inline constexpr int page_size = 100;

inline std::string item_id(int n) { return "W" + std::to_string(n); }

inline Json work_item(int n) {
  static const char* phases[] = {"inbox", "refinement", "in_progress", "review", "uat", "done"};
  return Json{{"id", item_id(n)},
              {"key", "DB-" + std::to_string(n)},
              {"boardId", "B1"},
              {"phase", phases[n % 6]},
              {"type", n % 3 ? "task" : "story"},
              {"assigneeUserId", n % 2 ? "u1" : "u2"},
              {"title", "Item " + std::to_string(n)},
              {"createdAt", "2026-01-01T00:00:00Z"}};
}

// The first count items, in order.
inline std::vector<Json> items(int count = page_count * page_size) {
  std::vector<Json> list;
  for (int n = 0; n < count; ++n) list.push_back(work_item(n));
  return list;
}

}  // namespace board_fixture
