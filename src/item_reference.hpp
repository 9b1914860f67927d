#pragma once
// Naming records by text: picking one by a reference, showing a work item's
// reference, and the branch name suggested when work starts.
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "json_text.hpp"

// The one record whose string member under any of the keys equals the
// reference byte for byte.
Result<const Json*> choose(const std::vector<Json>& records, std::string_view ref,
                           std::initializer_list<std::string_view> keys);

// The item's non-empty "key", else its "reference" string, else "".
std::string reference(const Json& item);

// "vlt/" and a slug of at most 40 bytes from the reference and the title.
std::string branch_name(const Json& item);
