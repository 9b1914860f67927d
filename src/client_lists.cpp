#include <algorithm>
#include <array>
#include <span>
#include <unordered_map>
#include <unordered_set>

#include "client.hpp"
#include "context.hpp"

namespace {

constexpr std::string_view missing_list = "Veltrun API response is missing the expected list.";
constexpr std::string_view board_mismatch =
    "Board scope mismatch in API response; refusing to read or write across boards.";
constexpr std::string_view invalid_cursor = "Invalid pagination cursor.";

std::unexpected<std::string> too_large() { return std::unexpected(client_http::list_too_large()); }

constexpr std::array<std::string_view, 5> item_keys = {"items", "workItems", "work_items", "data", "results"};

std::string invalid_identifier() { return std::string(context::invalid_identifier); }

// The list of a response: a bare array, or the first array under one of keys.
// The elements are moved out of value rather than copied: a page of 100 items
// is thousands of allocations.
Result<std::vector<Json>> extract(Json& value, std::span<const std::string_view> keys) {
  if (value.is_array()) return std::move(value.get_ref<Json::array_t&>());
  if (value.is_object()) {
    for (std::string_view key : keys) {
      const auto member = value.find(key);
      if (member != value.end() && member->is_array()) return std::move(member->get_ref<Json::array_t&>());
    }
  }
  return std::unexpected(std::string(missing_list));
}

// Compared in place: every item of every page goes through here.
bool within_board(const std::vector<Json>& items, std::string_view board_id) {
  return std::all_of(items.begin(), items.end(),
                     [&](const Json& item) { return context::field_view(item, "boardId") == board_id; });
}

// What a kept item holds in memory, as the list limits count it: its JSON
// values, itself included, and the bytes of its strings and object keys.
struct Held {
  std::size_t values = 0;
  std::size_t bytes = 0;

  void add(const Json& value) {
    values += 1;
    if (value.is_string()) {
      bytes += value.get_ref<const std::string&>().size();
    } else if (value.is_object()) {
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        bytes += key.size();
        add(member);
      }
    } else if (value.is_array()) {
      for (const Json& element : value.get_ref<const Json::array_t&>()) add(element);
    }
  }
  bool too_large() const { return values > client_http::max_list_values || bytes > client_http::max_list_bytes; }
};

// Another page follows whenever "nextCursor" is a string, whatever it holds.
bool more_pages(const Json& page) {
  if (!page.is_object()) return false;
  const auto next = page.find("nextCursor");
  return next != page.end() && next->is_string();
}

// The cursors a listing has used: each may be used once, so a service that
// repeats itself ends the walk instead of looping. An id may be of any
// length, so together they stop at their bound.
struct UsedCursors {
  std::unordered_set<std::string> texts;
  std::size_t bytes = 0;

  // The cursor of the next page is the last item's id ("" when there is
  // none), never "nextCursor".
  Result<std::string> next(std::string cursor) {
    if (cursor.empty() || texts.contains(cursor)) return std::unexpected(std::string(invalid_cursor));
    if (!context::identifier(cursor)) return std::unexpected(invalid_identifier());
    bytes += client_http::kept_entry_bytes(cursor.size());
    if (bytes > client_http::max_list_cursor_bytes) return too_large();
    texts.insert(cursor);
    return cursor;
  }
};

Result<std::vector<Json>> list_at(const Client& client, std::string_view path, bool docs, std::string_view key) {
  auto response = client.request("GET", path, docs);
  if (!response) return std::unexpected(response.error());
  return extract(*response, std::span(&key, 1));
}

// The registry's entries by id, the first entry of each id only: looked up
// once per project of the service's list.
std::unordered_map<std::string_view, const Json*> by_id(const std::vector<Json>& registry) {
  std::unordered_map<std::string_view, const Json*> index;
  index.reserve(registry.size());
  for (const Json& entry : registry) {
    // An entry without a string id matches no project: every project id is an identifier.
    const std::string_view id = context::field_view(entry, "id");
    if (!id.empty()) index.try_emplace(id, &entry);
  }
  return index;
}

// The project's "repoPath" from the first registry entry with its id.
void merge_repo_path(Json& project, const std::string& id,
                     const std::unordered_map<std::string_view, const Json*>& registry) {
  const auto found = registry.find(id);
  if (found == registry.end()) return;
  const Json& entry = *found->second;
  const auto repo_path = entry.find("repoPath");
  project["repoPath"] = repo_path == entry.end() ? Json(nullptr) : *repo_path;
}

}  // namespace

namespace client_http {

std::string list_too_large() {
  return "Veltrun API returned more work items than one listing may hold (" + std::to_string(max_list_pages) +
         " pages, " + std::to_string(max_list_values) + " JSON values or " + std::to_string(max_list_bytes) +
         " bytes); refusing a partial list.";
}

}  // namespace client_http

Result<void> Client::each_item_page(std::string_view project_id, std::optional<std::string_view> board_id,
                                    std::string_view include, const ItemPages& take) const {
  if (!context::identifier(project_id)) return std::unexpected(invalid_identifier());
  std::string first_page = "board/projects/" + std::string(project_id) + "/work-items?limit=100";
  if (!include.empty()) first_page += "&include=" + std::string(include);
  if (board_id) {
    if (!context::identifier(*board_id)) return std::unexpected(invalid_identifier());
    first_page += "&boardId=" + std::string(*board_id);
  }

  UsedCursors used;
  std::string cursor;
  for (std::size_t page_count = 1;; ++page_count) {
    // A service that keeps handing out fresh cursors ends here.
    if (page_count > client_http::max_list_pages) return too_large();
    std::string path = first_page;
    if (!cursor.empty()) path.append("&cursor=").append(cursor);
    auto page = send("GET", path, false);
    if (!page) return std::unexpected(std::move(page.error().text));
    auto list = extract(*page, item_keys);
    if (!list) return std::unexpected(list.error());
    if (board_id && !within_board(*list, *board_id)) return std::unexpected(std::string(board_mismatch));
    const bool more = more_pages(*page);
    // Read before take may move the items away.
    std::string next_id = list->empty() ? std::string() : context::field(list->back(), "id");
    if (auto taken = take(*list); !taken) return taken;
    if (!more) return {};
    auto next = used.next(std::move(next_id));
    if (!next) return std::unexpected(next.error());
    cursor = std::move(*next);
  }
}

Result<std::vector<Json>> Client::items_kept(std::string_view project_id, std::optional<std::string_view> board_id,
                                             std::string_view include, const ItemFilter& keep) const {
  std::vector<Json> items;
  Held held;
  auto listed = each_item_page(project_id, board_id, include, [&](std::vector<Json>& page) -> Result<void> {
    for (Json& item : page) {
      if (!keep(item)) continue;
      held.add(item);
      if (held.too_large()) return too_large();
      items.push_back(std::move(item));
    }
    return {};
  });
  if (!listed) return std::unexpected(listed.error());
  return items;
}

Result<std::vector<Json>> Client::items_including(std::string_view project_id, std::optional<std::string_view> board_id,
                                                  std::string_view include) const {
  return items_kept(project_id, board_id, include, [](const Json&) { return true; });
}

Result<std::vector<Json>> Client::pages(std::string_view project_id) const {
  if (!context::identifier(project_id)) return std::unexpected(invalid_identifier());
  return list_at(*this, "docs/projects/" + std::string(project_id) + "/pages", true, "pages");
}

Result<std::vector<Json>> Client::boards(std::string_view project_id) const {
  if (!context::identifier(project_id)) return std::unexpected(invalid_identifier());
  return list_at(*this, "board/projects/" + std::string(project_id) + "/boards", false, "boards");
}

Result<std::vector<Json>> Client::projects() const {
  auto list = list_at(*this, "board/projects", false, "projects");
  if (!list) return list;
  // An unreadable or invalid registry only means no local paths are known.
  const std::vector<Json> registry = context::projects(app_dir()).value_or(std::vector<Json>{});
  const auto index = by_id(registry);
  for (Json& project : *list) {
    const std::string id = context::field(project, "id");
    if (!context::identifier(id)) return std::unexpected(invalid_identifier());
    merge_repo_path(project, id, index);
  }
  return list;
}
