#pragma once
// Naming records by text: picking one by a reference, showing a work item's
// reference, and the branch name suggested when work starts.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
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

 private:
  std::string ref_;
  std::vector<std::string_view> keys_;
  std::optional<Json> found_;
  std::size_t matches_ = 0;
};

// The item's non-empty "key", else its "reference" string, else "".
std::string reference(const Json& item);

// "vlt/" and a slug of at most 40 bytes from the reference and the title.
std::string branch_name(const Json& item);
