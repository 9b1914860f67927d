#include "item_reference.hpp"

#include <gtest/gtest.h>

namespace {

const char* kAmbiguous = "Reference 'DB-0013' is missing or ambiguous in the selected scope.";

TEST(Choose, EmptyReferenceFailsBeforeLooking) {
  const std::vector<Json> items = {Json{{"key", ""}}};
  EXPECT_EQ(choose(items, "", {"id", "key"}).error(), "A nonempty reference is required.");
  EXPECT_EQ(choose({}, "", {"id"}).error(), "A nonempty reference is required.");
}

TEST(Choose, MatchesExactlyOneRecordByAnyKey) {
  const std::vector<Json> items = {
      Json{{"id", "w1"}, {"key", "DB-0013"}},
      Json{{"id", "w2"}, {"key", "DB-0014"}, {"reference", "R-2"}},
      Json{{"id", 13}, {"key", "DB-0015"}},
      Json("not an object"),
  };
  EXPECT_EQ(choose(items, "DB-0013", {"id", "key", "reference"}).value(), &items[0]);
  EXPECT_EQ(choose(items, "R-2", {"id", "key", "reference"}).value(), &items[1]);
  EXPECT_EQ(choose(items, "w2", {"id", "key", "reference"}).value(), &items[1]);

  for (const char* ref : {"db-0013", " DB-0013", "13", "missing"}) {
    EXPECT_EQ(choose(items, ref, {"id", "key", "reference"}).error(),
              "Reference '" + std::string(ref) + "' is missing or ambiguous in the selected scope.");
  }
}

TEST(Choose, TwoRecordsMatchingByDifferentKeysAreAmbiguous) {
  const std::vector<Json> items = {Json{{"id", "DB-0013"}}, Json{{"key", "DB-0013"}}};
  EXPECT_EQ(choose(items, "DB-0013", {"id", "key", "reference"}).error(), kAmbiguous);
  const std::vector<Json> one = {Json{{"id", "DB-0013"}, {"key", "DB-0013"}}};
  EXPECT_EQ(choose(one, "DB-0013", {"id", "key"}).value(), &one[0]);  // counts once
}

std::string outcome(const Result<const Json*>& chosen, const std::vector<Json>& records) {
  if (!chosen) return "error " + chosen.error();
  return "record " + std::to_string(*chosen - records.data());
}

// The index answers each reference as choose does over the same list.
TEST(ChoiceIndex, AnswersAsChooseWould) {
  const std::vector<Json> columns = {
      Json{{"id", "c1"}},
      Json{{"id", "twice"}, {"n", 1}},
      Json{{"id", "twice"}, {"n", 2}},
      Json{{"id", "thrice"}},
      Json{{"id", "thrice"}},
      Json{{"id", "thrice"}},
      Json{{"id", 7}},
      Json{{"id", "8"}},
      Json{{"id", 8}},
      Json{{"id", ""}},
      Json{{"id", nullptr}},
      Json{{"name", "c1"}},
      Json("c1"),
      Json::array({"c1"}),
      Json{{"id", "C1"}},
  };
  const ChoiceIndex index(columns, "id");
  for (const char* ref : {"c1", "C1", "twice", "thrice", "7", "8", "", " c1", "gone"}) {
    EXPECT_EQ(outcome(index.choose(ref), columns), outcome(choose(columns, ref, {"id"}), columns)) << '"' << ref << '"';
  }
  EXPECT_EQ(outcome(ChoiceIndex({}, "id").choose("c1"), columns),
            "error Reference 'c1' is missing or ambiguous in the selected scope.");
}

// What take will say is known before the last page once an empty reference
// or a second match decides it; a single match may still become ambiguous.
TEST(Choice, TellsAnErrorNoLaterRecordChanges) {
  struct Case {
    const char* ref;
    std::vector<Json> records;
    std::optional<std::string> decided;
  };
  const std::vector<Case> cases = {
      {"", {Json{{"id", ""}}}, "A nonempty reference is required."},
      {"DB-1", {}, std::nullopt},
      {"DB-1", {Json{{"key", "DB-1"}}}, std::nullopt},
      {"DB-1",
       {Json{{"key", "DB-1"}}, Json{{"id", "DB-1"}}},
       "Reference 'DB-1' is missing or ambiguous in the selected scope."},
      {"DB-1", {Json{{"key", "DB-1"}, {"id", "DB-1"}}}, std::nullopt},
  };
  for (const Case& c : cases) {
    Choice choice(c.ref, {"id", "key"});
    std::vector<Json> page = c.records;
    choice.consider(page);
    EXPECT_EQ(choice.error(), c.decided) << c.ref << " over " << c.records.size();
    if (c.decided) {
      EXPECT_EQ(std::move(choice).take().error(), *c.decided);
    }
  }
}

TEST(Reference, KeyThenReferenceThenEmpty) {
  EXPECT_EQ(reference(Json{{"key", "DB-1"}, {"reference", "R-1"}}), "DB-1");
  EXPECT_EQ(reference(Json{{"key", ""}, {"reference", "R-1"}}), "R-1");
  EXPECT_EQ(reference(Json{{"key", 5}, {"reference", "R-1"}}), "R-1");
  EXPECT_EQ(reference(Json{{"reference", 7}}), "");
  EXPECT_EQ(reference(Json::object()), "");
}

TEST(BranchName, Slugs) {
  struct Case {
    Json item;
    const char* branch;
  };
  const Case cases[] = {
      {Json{{"key", "DB-0123"}, {"title", "Retry flow"}}, "vlt/db-0123-retry-flow"},
      {Json{{"reference", "R-9"}, {"title", "  --Fix__the   BUG!!  "}}, "vlt/r-9-fix-the-bug"},
      {Json{{"key", ""}, {"reference", "DB-7"}, {"title", "\u0218terge cache-ul vechi"}},
       "vlt/db-7-terge-cache-ul-vechi"},
      {Json{{"key", "DB-0001"}, {"title", "Implement the retry flow for uploads and downloads"}},
       "vlt/db-0001-implement-the-retry-flow-for-upl"},
      {Json{{"key", "DB-0042"}, {"title", "Add a new endpoint to the serve api"}},
       "vlt/db-0042-add-a-new-endpoint-to-the-serve"},
      {Json::object(), "vlt/"},
      {Json{{"title", "\u00e9\u00e8\u00ea"}}, "vlt/"},
      {Json{{"title", "Fix"}}, "vlt/fix"},
      {Json{{"key", "DB-1"}, {"title", 42}}, "vlt/db-1"},
  };
  for (const auto& c : cases) EXPECT_EQ(branch_name(c.item), c.branch) << c.item.dump();
  EXPECT_EQ(branch_name(Json{{"key", "DB-0042"}, {"title", "Add a new endpoint to the serve api"}}).size(), 4u + 39u);
}

}  // namespace
