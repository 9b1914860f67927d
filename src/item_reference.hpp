#pragma once
// Naming records by text: picking one by a reference, showing a work item's
// reference, and the branch name suggested when work starts.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "team_core/json_text.hpp"

// The one record whose string member under any of the keys equals the
// reference byte for byte.
Result<const Json*> choose(const std::vector<Json>& records, std::string_view ref,
                           std::initializer_list<std::string_view> keys);

// choose over records that arrive a page at a time: only the first match is
// kept and the others are counted, so that a board's pages need not be held
// together to find one item in them.
class Choice {
 public:
  Choice(std::string ref, std::initializer_list<std::string_view> keys);
  // Moves the first match out of records; later matches are only counted.
  void consider(std::vector<Json>& records);
  // What choose would have said over all the records considered.
  Result<Json> take() &&;
  // The error that take gives whatever records are still to come: for an
  // empty reference, or once two records have matched.
  std::optional<std::string> error() const;

 private:
  std::string ref_;
  std::vector<std::string_view> keys_;
  std::optional<Json> found_;
  std::size_t matches_ = 0;
};

// choose over one list of records for many references, by one key: the
// records are indexed once instead of walked for each reference. They must
// outlive the index unchanged.
class ChoiceIndex {
 public:
  ChoiceIndex(const std::vector<Json>& records, std::string_view key);
  // What choose(records, ref, {key}) would say.
  Result<const Json*> choose(std::string_view ref) const;

 private:
  // The record of each string under the key; null once a second one has it.
  std::unordered_map<std::string_view, const Json*> named_;
};

// The item's non-empty "key", else its "reference" string, else "".
std::string reference(const Json& item);

// "vlt/" and a slug of at most 40 bytes from the reference and the title.
std::string branch_name(const Json& item);
