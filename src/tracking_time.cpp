#include <algorithm>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "context.hpp"
#include "item_reference.hpp"
#include "time_text.hpp"
#include "tracking.hpp"

namespace tracking {

namespace {

constexpr std::string_view invalid_timestamp = "Invalid or missing history timestamp.";
constexpr std::string_view inconsistent = "Inconsistent transition history; cannot calculate reliable durations.";
constexpr std::string_view missing_creation =
    "Creation event missing; durations reconstructed from available history, not a verified lifetime total.";

struct Transition {
  std::int64_t at;
  Json payload;  // null when the event carries none
};

// What the events tell: the phase transitions in history order and whether
// the creation event is among them.
struct History {
  std::vector<Transition> transitions;
  bool created = false;
};

using context::member;

Result<History> read_history(const Json& events, std::string_view item_id) {
  History history;
  std::unordered_set<std::string> identities;
  for (const Json& event : events) {
    if (context::field(event, "workItemId") != item_id) return std::unexpected("Event item scope mismatch.");
    const std::string identity = context::field(event, "eventId");
    if (identity.empty() || !identities.insert(identity).second) {
      return std::unexpected("Invalid/duplicate event identity.");
    }
    const std::string type = context::field(event, "eventType");
    if (type == "work_item.created") history.created = true;
    if (type != "work_item.status_changed") continue;
    const auto at = timestamp(context::field(event, "occurredAt"));
    if (!at) return std::unexpected(at.error());
    const Json* payload = member(event, "payload");
    history.transitions.push_back({*at, payload ? *payload : Json(nullptr)});
  }
  std::stable_sort(history.transitions.begin(), history.transitions.end(),
                   [](const Transition& a, const Transition& b) { return a.at < b.at; });
  return history;
}

// Where the walk over the transitions left off, with the time spent so far.
struct Stays {
  std::map<std::string, std::int64_t> totals;
  std::string running;
  std::int64_t entered;
};

Result<Stays> walk(const std::vector<Transition>& transitions, std::string running, std::int64_t created,
                   std::int64_t now_ms) {
  Stays stays{{}, std::move(running), created};
  for (const Transition& transition : transitions) {
    if (transition.at < stays.entered || transition.at > now_ms) return std::unexpected(std::string(inconsistent));
    const auto from = phase(context::field(transition.payload, "from"));
    if (!from) return std::unexpected(from.error());
    if (*from != stays.running) return std::unexpected(std::string(inconsistent));
    stays.totals[stays.running] += transition.at - stays.entered;
    const auto to = phase(context::field(transition.payload, "to"));
    if (!to) return std::unexpected(to.error());
    stays.running = *to;
    stays.entered = transition.at;
  }
  return stays;
}

Result<std::string> starting_phase(const std::vector<Transition>& transitions, const std::string& current) {
  if (transitions.empty()) return current;
  return phase(context::field(transitions.front().payload, "from"));
}

Json phase_list(const std::map<std::string, std::int64_t>& totals) {
  Json list = Json::array();
  for (const auto& [word, ms] : totals) {
    list.push_back({{"phase", word}, {"seconds", static_cast<double>(ms) / 1000.0}});
  }
  return list;
}

}  // namespace

Result<std::int64_t> timestamp(std::string_view text) {
  const auto ms = time_text::milliseconds(text);
  if (!ms) return std::unexpected(std::string(invalid_timestamp));
  return *ms;
}

Result<Json> time(const Json& item, const Json& board, std::int64_t now_ms) {
  const auto created = timestamp(context::field(item, "createdAt"));
  if (!created) return std::unexpected(created.error());
  if (now_ms < *created) return std::unexpected("Creation timestamp is in the future.");
  const Json* events = member(item, "events");
  if (!events || !events->is_array()) return std::unexpected("Full history unavailable; no duration inferred.");
  const auto history = read_history(*events, context::field(item, "id"));
  if (!history) return std::unexpected(history.error());
  const auto current = phase(context::field(item, "phase"));
  if (!current) return std::unexpected(current.error());
  auto start = starting_phase(history->transitions, *current);
  if (!start) return std::unexpected(start.error());
  auto stays = walk(history->transitions, std::move(*start), *created, now_ms);
  if (!stays) return std::unexpected(stays.error());
  if (stays->running != *current) {
    return std::unexpected("History does not reach the current phase; no reliable total.");
  }
  const auto is_closed = closed(item, board);
  if (!is_closed) return std::unexpected(is_closed.error());
  stays->totals[*current] += *is_closed ? 0 : now_ms - stays->entered;
  return Json{{"asOfMs", now_ms},
              {"currentPhase", *current},
              {"currentPhaseClockStopped", *is_closed},
              {"currentPhaseEnteredAtMs", stays->entered},
              {"groupedBy", "canonical_phase"},
              {"historyComplete", history->created},
              {"kind", "calendar_time"},
              {"phases", phase_list(stays->totals)},
              {"reference", reference(item)},
              {"warning", history->created ? Json(nullptr) : Json(missing_creation)}};
}

}  // namespace tracking
