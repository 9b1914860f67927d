#include "reading.hpp"

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "item_reference.hpp"
#include "unicode_text.hpp"

namespace reading {

namespace {

constexpr std::string_view no_pages = "(no docs pages)";
constexpr std::string_view ambiguous_title = "Page title is missing or ambiguous. Use its ID.";
constexpr std::string_view invalid_metadata = "Invalid page metadata; cannot safely edit.";

// Item lines keyed by phase, each group's lines one text, each line ending in
// "\n"; std::string compares as unsigned bytes, so the map's order is byte
// order. They grow with the board, so they stop at what one reply may hold,
// each group counted as a kept text (its heading in the reply is less) and
// each line at its bytes: a board of a million short phases counts at what
// it takes, not at its few bytes of text.
class PhaseLines {
 public:
  bool too_large() const { return bytes_ > max_reply_bytes; }

  void add(const Json& item) {
    if (too_large()) return;
    const std::string_view phase = context::field_view(item, "phase");
    auto group = groups_.find(phase);
    if (group == groups_.end()) {
      if (!keep(client_http::kept_entry_bytes(phase.size()))) return;
      group = groups_.emplace(phase, std::string()).first;
    }
    const std::string ref = reference(item);
    const std::string_view title = context::field_view(item, "title");
    if (!keep(ref.size() + 1 + title.size() + 1)) return;
    group->second.append(ref).append(" ").append(title).append("\n");
  }

  void write(std::string& text) const {
    text += "Work items by phase:\n";
    if (groups_.empty()) text += "(board empty)\n";
    for (const auto& [phase, lines] : groups_) text.append("[").append(phase).append("]\n").append(lines);
  }

 private:
  // Counts bytes about to be kept; false once they pass the bound.
  bool keep(std::size_t bytes) {
    bytes_ += bytes;
    return !too_large();
  }

  std::map<std::string, std::string, std::less<>> groups_;
  std::size_t bytes_ = 0;
};

std::string summary_line(const Result<Json>& summary) {
  if (!summary) return "Personal board summary unavailable: " + summary.error() + "\n\n";
  return "Board summary (show openStories and openStoriesAssignedToYou in the user language): " +
         json_text::compact(*summary) + "\n\n";
}

std::string docs_section(const Result<std::vector<Json>>& pages) {
  std::string text = "\nProject docs (shared across this project's boards):\n";
  if (!pages) return text + "Docs unavailable: " + pages.error() + "\n";
  if (pages->empty()) text += std::string(no_pages) + "\n";
  for (const Json& page : *pages) {
    text +=
        context::field(page, "id") + " [" + context::field(page, "kind") + "] " + context::field(page, "title") + "\n";
  }
  return text +
         "Approved [Design], [Architecture] and [Sequence] pages constrain implementation. Read relevant pages "
         "before work.\n";
}

// Whether text holds fragment. The C library's memmem is linear in both
// lengths; std::string::find takes time in their product, and so does
// building std::boyer_moore_searcher's tables, while a title and the
// argument may each be megabytes.
bool holds(const std::string& text, const std::string& fragment) {
  return memmem(text.data(), text.size(), fragment.data(), fragment.size()) != nullptr;
}

// The one page whose lower-cased title holds the lower-cased text.
const Json* page_by_fragment(const std::vector<Json>& pages, std::string_view text) {
  const std::string fragment = unicode_text::lower(text);
  const Json* found = nullptr;
  for (const Json& page : pages) {
    if (!holds(unicode_text::lower(context::field_view(page, "title")), fragment)) continue;
    if (found) return nullptr;
    found = &page;
  }
  return found;
}

Result<const Json*> target_page(const std::vector<Json>& pages, std::string_view wanted) {
  if (auto exact = choose(pages, wanted, {"id", "title"})) return *exact;
  if (const Json* page = page_by_fragment(pages, wanted)) return page;
  return std::unexpected(std::string(ambiguous_title));
}

// A JSON integer of at least 1, printed in decimal; nothing otherwise.
std::optional<std::string> page_version(const Json& page) {
  const auto version = context::positive_integer(context::member(page, "version"));
  if (!version) return std::nullopt;
  return std::to_string(*version);
}

// A present "bodyMarkdown" is the body even when null; "body" only stands in
// for pages that lack the member.
std::string page_body(const Json& page) {
  const Json* body = context::member(page, "bodyMarkdown");
  if (!body) body = context::member(page, "body");
  return std::string(body && body->is_string() ? body->get_ref<const std::string&>() : "");
}

ToolOutcome page_text(const Json& response, std::string_view project_id, std::string_view page_id) {
  const Json* found = context::member(response, "page");
  if (!found) return std::unexpected("Invalid page response.");
  const Json& page = *found;
  if (!page.is_object() || context::field(page, "id") != page_id || context::field(page, "projectId") != project_id) {
    return std::unexpected(std::string(invalid_metadata));
  }
  const auto version = page_version(page);
  if (!version) return std::unexpected(std::string(invalid_metadata));
  return "Page ID: " + std::string(page_id) + "\nVersion: " + *version + "\nStatus: " + context::field(page, "status") +
         "\n\n# " + context::field(page, "title") + "\n\n" + page_body(page);
}

}  // namespace

// The items are filtered as their pages arrive: the list bounds count only
// the items of the phase.
ToolOutcome list_work_items(const Client& client, std::string_view project_id, std::string_view board_id,
                            const Json& arguments) {
  const std::string_view phase = context::field_view(arguments, "phase");
  auto items = client.items_kept(project_id, board_id, "comments", [phase](const Json& item) {
    return phase.empty() || context::field_view(item, "phase") == phase;
  });
  if (!items) return std::unexpected(items.error());
  return printed_pretty(Json(std::move(*items)));
}

ToolOutcome project_context(const Client& client, std::string_view project_id, std::string_view board_id,
                            const Json& board, const tracking::WallClock& now) {
  tracking::BoardCount count(board);
  PhaseLines lines;
  auto listed = client.each_item_page(project_id, board_id, "comments", [&](std::vector<Json>& page) -> Result<void> {
    for (const Json& item : page) {
      count.add(item);
      lines.add(item);
    }
    // The rest of the board could not be shown: it is not read.
    if (lines.too_large()) return std::unexpected(std::string());
    return {};
  });
  if (lines.too_large()) return ToolOutcome::oversized();
  if (!listed) return std::unexpected(listed.error());
  std::string text = summary_line(count.summary(client, project_id, now));
  lines.write(text);
  text += docs_section(client.pages(project_id));
  return text;
}

ToolOutcome list_doc_pages(const Client& client, std::string_view project_id) {
  auto pages = client.pages(project_id);
  if (!pages) return std::unexpected(pages.error());
  if (pages->empty()) return std::string(no_pages);
  return printed_pretty(Json(std::move(*pages)));
}

ToolOutcome get_doc_page(const Client& client, std::string_view project_id, const Json& arguments) {
  auto pages = client.pages(project_id);
  if (!pages) return std::unexpected(pages.error());
  const std::string wanted = context::field(arguments, "page");
  if (wanted.empty()) return std::unexpected("page must not be empty.");
  auto target = target_page(*pages, wanted);
  if (!target) return std::unexpected(target.error());
  auto page_id = context::identifier(context::field(**target, "id"));
  if (!page_id) return std::unexpected(page_id.error());
  auto project = context::identifier(project_id);
  if (!project) return std::unexpected(project.error());
  auto response = client.request("GET", "docs/projects/" + *project + "/pages/" + *page_id, true);
  if (!response) return std::unexpected(response.error());
  return page_text(*response, *project, *page_id);
}

}  // namespace reading
