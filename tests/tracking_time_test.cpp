#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "team_core/json_text.hpp"
#include "tracking.hpp"

namespace {

// 2024-03-01T10:00:00Z; event times below are written as clock texts on that day.
constexpr std::int64_t t0 = 1709287200000;
constexpr std::int64_t minute = 60'000;
constexpr std::int64_t eleven = t0 + 60 * minute;
const std::string inconsistent = "Inconsistent transition history; cannot calculate reliable durations.";
const std::string unknown_phase = "Unknown phase in history.";
const std::string bad_time = "Invalid or missing history timestamp.";
const std::string warning =
    "Creation event missing; durations reconstructed from available history, not a verified lifetime total.";

Json created(std::string id = "E0") {
  return {{"workItemId", "W1"},
          {"eventId", id},
          {"eventType", "work_item.created"},
          {"occurredAt", "2024-03-01T10:00:00Z"}};
}

Json comment(std::string id) { return {{"workItemId", "W1"}, {"eventId", id}, {"eventType", "work_item.commented"}}; }

Json move(std::string id, std::string clock, std::string from, std::string to) {
  return {{"workItemId", "W1"},
          {"eventId", id},
          {"eventType", "work_item.status_changed"},
          {"occurredAt", "2024-03-01T" + clock + "Z"},
          {"payload", {{"from", from}, {"to", to}}}};
}

Json item(std::string phase, Json events) {
  return {{"id", "W1"}, {"key", "DB-7"}, {"createdAt", "2024-03-01T10:00:00Z"}, {"phase", phase}, {"events", events}};
}

const Json board = {{"id", "B1"},
                    {"columns", {{{"id", "C-open"}, {"isTerminal", false}}, {{"id", "C-end"}, {"isTerminal", true}}}}};

std::string report(const Json& work_item, std::int64_t now_ms = eleven) {
  const auto result = tracking::time(work_item, board, now_ms);
  return result ? json_text::compact(*result) : "error: " + result.error();
}

// The "phases" member, the stopped clock and the entry time, or the error.
std::string totals(const Json& work_item, std::int64_t now_ms = eleven) {
  const auto result = tracking::time(work_item, board, now_ms);
  if (!result) return "error: " + result.error();
  return json_text::compact((*result)["phases"]) +
         " stopped=" + json_text::compact((*result)["currentPhaseClockStopped"]) +
         " entered=" + std::to_string((*result)["currentPhaseEnteredAtMs"].get<std::int64_t>() - t0);
}

TEST(TrackingTimestamp, ConvertsOrRefuses) {
  struct Case {
    const char* text;
    Result<std::int64_t> expected;
  };
  const std::unexpected refused(bad_time);
  const Case cases[] = {
      {"2024-03-01T10:00:00Z", t0},
      {"2024-03-01t10:00:00z", t0},
      {"2024-03-01T12:00:00+02:00", t0},
      {"2024-03-01T08:30:00-01:30", t0},
      {"2024-03-01T10:00:00.0009999Z", t0},
      {"2024-03-01T10:00:00.123999999999Z", t0 + 123},
      {"1969-12-31T23:59:59.9995Z", -1},  // the earlier millisecond, not toward zero
      {"", refused},
      {"2024-03-01T10:00:00", refused},
      {"2024-02-30T10:00:00Z", refused},
      {"2024-03-01T24:00:00Z", refused},
      {" 2024-03-01T10:00:00Z", refused},
  };
  for (const Case& c : cases) EXPECT_EQ(tracking::timestamp(c.text), c.expected) << c.text;
}

TEST(TrackingTime, OpenItemWithOnlyItsCreation) {
  EXPECT_EQ(report(item("inbox", {created()}), t0 + 90'000),
            R"({"asOfMs":1709287290000,"currentPhase":"inbox","currentPhaseClockStopped":false,)"
            R"("currentPhaseEnteredAtMs":1709287200000,"groupedBy":"canonical_phase","historyComplete":true,)"
            R"("kind":"calendar_time","phases":[{"phase":"inbox","seconds":90.0}],"reference":"DB-7",)"
            R"("warning":null})");
}

TEST(TrackingTime, MissingCreationEventIsLabelled) {
  EXPECT_EQ(report(item("inbox", Json::array()), t0 + 90'000),
            R"({"asOfMs":1709287290000,"currentPhase":"inbox","currentPhaseClockStopped":false,)"
            R"("currentPhaseEnteredAtMs":1709287200000,"groupedBy":"canonical_phase","historyComplete":false,)"
            R"("kind":"calendar_time","phases":[{"phase":"inbox","seconds":90.0}],"reference":"DB-7",)"
            R"("warning":")" +
                warning + R"("})");
}

TEST(TrackingTime, ReentriesAddUpAndAClosedItemStopsTheClock) {
  const Json events = {created(), move("E1", "10:10:00", "inbox", "review"), comment("E2"),
                       move("E3", "10:25:00", "review", "inbox"), move("E4", "10:30:00", "inbox", "done")};
  EXPECT_EQ(report(item("done", events)),
            R"({"asOfMs":1709290800000,"currentPhase":"done","currentPhaseClockStopped":true,)"
            R"("currentPhaseEnteredAtMs":1709289000000,"groupedBy":"canonical_phase","historyComplete":true,)"
            R"("kind":"calendar_time","phases":[{"phase":"done","seconds":0.0},{"phase":"inbox","seconds":900.0},)"
            R"({"phase":"review","seconds":900.0}],"reference":"DB-7","warning":null})");
}

TEST(TrackingTime, TotalsOverHistories) {
  Json reopened_done = item("done", {move("E1", "10:10:00", "inbox", "done"), move("E2", "10:20:00", "done", "review"),
                                     move("E3", "10:40:00", "review", "done")});
  Json terminal_review = item("review", {move("E1", "10:15:00", "inbox", "review")});
  terminal_review["columnId"] = "C-end";
  Json open_column_review = terminal_review;
  open_column_review["columnId"] = "C-open";
  Json done_in_open_column = item("done", {move("E1", "10:15:00", "inbox", "done")});
  done_in_open_column["columnId"] = "C-open";
  Json blank_column_done = done_in_open_column;
  blank_column_done["columnId"] = "";
  Json reference_only = item("uat", Json::array());
  reference_only.erase("key");
  reference_only["reference"] = "REF-3";
  Json odd_id = item("inbox", {move("E1", "10:30:00", "inbox", "uat")});
  odd_id["id"] = "W 1/../x";
  odd_id["events"][0]["workItemId"] = "W 1/../x";
  odd_id["phase"] = "uat";
  Json east_transition = item("review", {move("E1", "10:30:00", "inbox", "review")});
  east_transition["events"][0]["occurredAt"] = "2024-03-01T12:30:00+02:00";

  struct Case {
    const char* name;
    Json work_item;
    std::string expected;
  };
  const Case cases[] = {
      {"closed item keeps its earlier stay in done", reopened_done,
       R"([{"phase":"done","seconds":600.0},{"phase":"inbox","seconds":600.0},{"phase":"review","seconds":1200.0}])"
       " stopped=true entered=2400000"},
      {"terminal column closes an item in review", terminal_review,
       R"([{"phase":"inbox","seconds":900.0},{"phase":"review","seconds":0.0}])"
       " stopped=true entered=900000"},
      {"open column keeps review running", open_column_review,
       R"([{"phase":"inbox","seconds":900.0},{"phase":"review","seconds":2700.0}])"
       " stopped=false entered=900000"},
      {"open column keeps done running", done_in_open_column,
       R"([{"phase":"done","seconds":2700.0},{"phase":"inbox","seconds":900.0}])"
       " stopped=false entered=900000"},
      {"empty column leaves it to the phase", blank_column_done,
       R"([{"phase":"done","seconds":0.0},{"phase":"inbox","seconds":900.0}])"
       " stopped=true entered=900000"},
      {"out of order events are sorted",
       item("done", {move("E1", "10:40:00", "review", "done"), move("E2", "10:10:00", "inbox", "review")}),
       R"([{"phase":"done","seconds":0.0},{"phase":"inbox","seconds":600.0},{"phase":"review","seconds":1800.0}])"
       " stopped=true entered=2400000"},
      {"equal times keep history order",
       item("uat", {move("E1", "10:10:00", "inbox", "review"), move("E2", "10:10:00", "review", "uat")}),
       R"([{"phase":"inbox","seconds":600.0},{"phase":"review","seconds":0.0},{"phase":"uat","seconds":3000.0}])"
       " stopped=false entered=600000"},
      {"first stay belongs to the first from",
       item("in_progress", {move("E1", "10:20:00", "refinement", "in_progress")}),
       R"([{"phase":"in_progress","seconds":2400.0},{"phase":"refinement","seconds":1200.0}])"
       " stopped=false entered=1200000"},
      {"transition at the creation time", item("review", {move("E1", "10:00:00", "inbox", "review")}),
       R"([{"phase":"inbox","seconds":0.0},{"phase":"review","seconds":3600.0}])"
       " stopped=false entered=0"},
      {"transition at now", item("review", {move("E1", "11:00:00", "inbox", "review")}),
       R"([{"phase":"inbox","seconds":3600.0},{"phase":"review","seconds":0.0}])"
       " stopped=false entered=3600000"},
      {"transition with an offset", east_transition,
       R"([{"phase":"inbox","seconds":1800.0},{"phase":"review","seconds":1800.0}])"
       " stopped=false entered=1800000"},
      {"events of other types are only checked",
       item("inbox",
            {comment("E1"), {{"workItemId", "W1"}, {"eventId", "E2"}, {"eventType", "WORK_ITEM.STATUS_CHANGED"}}}),
       R"([{"phase":"inbox","seconds":3600.0}])"
       " stopped=false entered=0"},
      {"reference falls back", reference_only,
       R"([{"phase":"uat","seconds":3600.0}])"
       " stopped=false entered=0"},
      {"an id outside the identifier rule", odd_id,
       R"([{"phase":"inbox","seconds":1800.0},{"phase":"uat","seconds":1800.0}])"
       " stopped=false entered=1800000"},
  };
  for (const auto& c : cases) EXPECT_EQ(totals(c.work_item), c.expected) << c.name;

  const auto named = tracking::time(reference_only, board, eleven);
  ASSERT_TRUE(named.has_value());
  EXPECT_EQ((*named)["reference"], "REF-3");
}

TEST(TrackingTime, CreationTimeAgainstNow) {
  struct Case {
    const char* created_at;
    std::int64_t now_ms;
    std::string expected;  // the current phase's seconds and absolute entry time, or the error
  };
  const std::string future = "error: Creation timestamp is in the future.";
  const Case cases[] = {
      {"2024-03-01T10:00:00.0009999Z", t0, "0.0 at 1709287200000"},
      {"2024-03-01T10:00:00.0009999Z", t0 - 1, future},
      {"2024-03-01T12:00:00+02:00", t0 + minute, "60.0 at 1709287200000"},
      {"2024-03-01T12:00:00+02:00", t0 - 1, future},
      {"2024-03-01T10:00:00Z", t0 + 2 * 60 * minute, "7200.0 at 1709287200000"},
      // Before the epoch the sub-millisecond digits still round down.
      {"1969-12-31T23:59:59.9995Z", 0, "0.001 at -1"},
      {"1969-12-31T23:59:59.9995Z", -1, "0.0 at -1"},
      {"1969-12-31T23:59:59.9995Z", -2, future},
  };
  for (const Case& c : cases) {
    Json work_item = item("inbox", Json::array());
    work_item["createdAt"] = c.created_at;
    const auto result = tracking::time(work_item, board, c.now_ms);
    const std::string got = result ? json_text::compact((*result)["phases"][0]["seconds"]) + " at " +
                                         std::to_string((*result)["currentPhaseEnteredAtMs"].get<std::int64_t>())
                                   : "error: " + result.error();
    EXPECT_EQ(got, c.expected) << c.created_at << " now " << c.now_ms;
  }
}

TEST(TrackingTime, SecondsPrintAsShortestFloats) {
  struct Case {
    std::int64_t ms;
    std::string seconds;
  };
  const Case cases[] = {
      {0, "0.0"},
      {1, "0.001"},
      {1500, "1.5"},
      {60000, "60.0"},
      {123456789, "123456.789"},
      {100, "0.1"},
      {86'400'000, "86400.0"},
      {100'000'000'000'000, "100000000000.0"},
      // From 0000-01-01 to 9999-12-31T23:59:59.999, the longest span two timestamps can hold.
      {315'569'519'999'999, "315569519999.999"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(totals(item("inbox", Json::array()), t0 + c.ms),
              R"([{"phase":"inbox","seconds":)" + c.seconds + "}] stopped=false entered=0")
        << c.ms;
  }
}

TEST(TrackingTime, RefusesUnreliableHistories) {
  auto with = [](Json work_item, const char* key, Json value) {
    if (value.is_discarded()) {
      work_item.erase(key);
    } else {
      work_item[key] = value;
    }
    return work_item;
  };
  const Json gone(Json::value_t::discarded);
  const Json plain = item("inbox", {created()});
  Json foreign = comment("E1");
  foreign["workItemId"] = "W2";
  Json unscoped = comment("E1");
  unscoped.erase("workItemId");
  Json no_payload = move("E1", "10:10:00", "inbox", "review");
  no_payload.erase("payload");
  Json no_time = move("E1", "10:10:00", "inbox", "review");
  no_time.erase("occurredAt");
  Json bad_date = move("E1", "10:10:00", "inbox", "review");
  bad_date["occurredAt"] = "2024-02-30T10:10:00Z";
  Json numeric_identity = comment("E1");
  numeric_identity["eventId"] = 7;
  Json lost_column = item("done", {created()});
  lost_column["columnId"] = "C-gone";
  Json columnless = lost_column;
  columnless["columnId"] = "C-end";

  struct Case {
    const char* name;
    Json work_item;
    std::string error;
  };
  const Case cases[] = {
      {"no createdAt", with(plain, "createdAt", gone), bad_time},
      {"empty createdAt", with(plain, "createdAt", ""), bad_time},
      {"createdAt not a string", with(plain, "createdAt", t0), bad_time},
      {"no events", with(plain, "events", gone), "Full history unavailable; no duration inferred."},
      {"events not an array", with(plain, "events", Json::object()), "Full history unavailable; no duration inferred."},
      {"event of another item", item("inbox", {created(), foreign}), "Event item scope mismatch."},
      {"event without an item", item("inbox", {unscoped}), "Event item scope mismatch."},
      {"event that is no object", item("inbox", {"E1"}), "Event item scope mismatch."},
      {"repeated identity on comments", item("inbox", {comment("E1"), comment("E1")}),
       "Invalid/duplicate event identity."},
      {"repeated identity across types", item("review", {created("E1"), move("E1", "10:10:00", "inbox", "review")}),
       "Invalid/duplicate event identity."},
      {"empty identity", item("inbox", {comment("")}), "Invalid/duplicate event identity."},
      {"identity not a string", item("inbox", {numeric_identity}), "Invalid/duplicate event identity."},
      {"transition without a time", item("review", {no_time}), bad_time},
      {"transition on no real date", item("review", {bad_date}), bad_time},
      {"current phase in capitals", item("Done", {created()}), unknown_phase},
      {"no current phase", with(plain, "phase", gone), unknown_phase},
      {"first from is no phase", item("review", {move("E1", "10:10:00", "backlog", "review")}), unknown_phase},
      {"transition without payload", item("review", {no_payload}), unknown_phase},
      {"to is no phase", item("review", {move("E1", "10:10:00", "inbox", "closed")}), unknown_phase},
      {"from after the first is no phase",
       item("review", {move("E1", "10:10:00", "inbox", "uat"), move("E2", "10:20:00", "", "review")}), unknown_phase},
      {"second from skips a stay",
       item("done", {move("E1", "10:10:00", "review", "inbox"), move("E2", "10:20:00", "review", "done")}),
       inconsistent},
      {"equal times in the wrong order",
       item("uat", {move("E1", "10:10:00", "review", "uat"), move("E2", "10:10:00", "inbox", "review")}), inconsistent},
      {"transition before creation", item("review", {move("E1", "09:59:59.999", "inbox", "review")}), inconsistent},
      {"transition after now", item("review", {move("E1", "11:00:00.001", "inbox", "review")}), inconsistent},
      {"history ends elsewhere", item("uat", {move("E1", "10:10:00", "inbox", "review")}),
       "History does not reach the current phase; no reliable total."},
      {"unknown column", lost_column, "Reference 'C-gone' is missing or ambiguous in the selected scope."},
  };
  for (const auto& c : cases) EXPECT_EQ(report(c.work_item), "error: " + c.error) << c.name;

  const auto no_columns = tracking::time(columnless, Json{{"id", "B1"}}, eleven);
  EXPECT_EQ(no_columns, std::unexpected(std::string("Missing board columns; cannot classify open items.")));
}

TEST(TrackingTime, TheEarliestFailingStepDecides) {
  const Json stray = {{"workItemId", "W2"}};
  Json timeless = item("bogus", {stray});
  timeless.erase("createdAt");
  Json eventless = item("bogus", Json::array());
  eventless.erase("events");
  Json unclassifiable = item("uat", {move("E1", "10:10:00", "inbox", "review")});
  unclassifiable["columnId"] = "C-gone";
  Json timeless_move = move("", "10:10:00", "inbox", "review");
  timeless_move.erase("occurredAt");
  struct Case {
    const char* name;
    Json work_item;
    std::int64_t now_ms;
    std::string error;
  };
  const Case cases[] = {
      {"creation time first", timeless, eleven, bad_time},
      {"future before the history", eventless, t0 - 1, "Creation timestamp is in the future."},
      {"history before the phase", eventless, eleven, "Full history unavailable; no duration inferred."},
      {"scope before the phase", item("bogus", {stray}), eleven, "Event item scope mismatch."},
      {"identity before the phase", item("bogus", {comment("E1"), comment("E1")}), eleven,
       "Invalid/duplicate event identity."},
      {"a bad transition time ends the walk at once",
       item("bogus", {move("E1", "25:00:00", "inbox", "review"), comment("E1")}), eleven, bad_time},
      {"current phase before the transitions", item("bogus", {move("E1", "12:00:00", "x", "y")}), eleven,
       unknown_phase},
      {"history before the column", unclassifiable, eleven,
       "History does not reach the current phase; no reliable total."},
      {"scope before identity", item("inbox", {{{"workItemId", "W2"}, {"eventId", ""}}}), eleven,
       "Event item scope mismatch."},
      {"identity before the transition time", item("review", {timeless_move}), eleven,
       "Invalid/duplicate event identity."},
      {"first from before its time", item("review", {move("E1", "11:30:00", "backlog", "review")}), eleven,
       unknown_phase},
      {"time before a later from",
       item("review", {move("E1", "10:10:00", "inbox", "uat"), move("E2", "11:30:00", "", "review")}), eleven,
       inconsistent},
      {"from before to", item("review", {move("E1", "10:10:00", "inbox", "uat"), move("E2", "10:20:00", "review", "")}),
       eleven, inconsistent},
  };
  for (const auto& c : cases) EXPECT_EQ(report(c.work_item, c.now_ms), "error: " + c.error) << c.name;
}

}  // namespace
