#include "item_reference.hpp"

#include <algorithm>
#include <utility>

#include "context.hpp"
#include "unicode_text.hpp"

namespace {

constexpr std::string_view reference_required = "A nonempty reference is required.";

// ref is not empty, so an absent or non-string member never matches.
template <typename Keys>
bool named(const Json& record, std::string_view ref, const Keys& keys) {
  return std::ranges::any_of(keys, [&](std::string_view key) { return context::field_view(record, key) == ref; });
}

std::string missing_or_ambiguous(std::string_view ref) {
  return "Reference '" + std::string(ref) + "' is missing or ambiguous in the selected scope.";
}

}  // namespace

Result<const Json*> choose(const std::vector<Json>& records, std::string_view ref,
                           std::initializer_list<std::string_view> keys) {
  if (ref.empty()) return std::unexpected(std::string(reference_required));
  const Json* found = nullptr;
  int matches = 0;
  for (const Json& record : records) {
    if (named(record, ref, keys)) {
      found = &record;
      ++matches;
    }
  }
  if (matches != 1) return std::unexpected(missing_or_ambiguous(ref));
  return found;
}

Choice::Choice(std::string ref, std::initializer_list<std::string_view> keys) : ref_(std::move(ref)), keys_(keys) {}

void Choice::consider(std::vector<Json>& records) {
  if (ref_.empty()) return;
  for (Json& record : records) {
    if (!named(record, ref_, keys_)) continue;
    if (++matches_ == 1) found_ = std::move(record);
  }
}

std::optional<std::string> Choice::error() const {
  if (ref_.empty()) return std::string(reference_required);
  if (matches_ > 1) return missing_or_ambiguous(ref_);
  return std::nullopt;
}

Result<Json> Choice::take() && {
  if (ref_.empty()) return std::unexpected(std::string(reference_required));
  if (matches_ != 1 || !found_) return std::unexpected(missing_or_ambiguous(ref_));
  return std::move(*found_);
}

ChoiceIndex::ChoiceIndex(const std::vector<Json>& records, std::string_view key) {
  named_.reserve(records.size());
  for (const Json& record : records) {
    // An absent or non-string member reads as "", which no reference is.
    const std::string_view name = context::field_view(record, key);
    if (name.empty()) continue;
    const auto [entry, first] = named_.try_emplace(name, &record);
    if (!first) entry->second = nullptr;
  }
}

Result<const Json*> ChoiceIndex::choose(std::string_view ref) const {
  if (ref.empty()) return std::unexpected(std::string(reference_required));
  const auto found = named_.find(ref);
  if (found == named_.end() || !found->second) return std::unexpected(missing_or_ambiguous(ref));
  return found->second;
}

std::string reference(const Json& item) {
  std::string key = context::field(item, "key");
  if (!key.empty()) return key;
  return context::field(item, "reference");
}

std::string branch_name(const Json& item) {
  constexpr std::size_t limit = 40;
  const std::string text = reference(item) + " " + context::field(item, "title");
  std::string slug;
  for (char32_t c : unicode_text::code_points(text)) {
    if (c >= U'A' && c <= U'Z') {
      slug += static_cast<char>(c - U'A' + 'a');
    } else if ((c >= U'a' && c <= U'z') || (c >= U'0' && c <= U'9')) {
      slug += static_cast<char>(c);
    } else if (!slug.empty() && slug.back() != '-') {
      slug += '-';
    }
    if (slug.size() >= limit) break;
  }
  while (!slug.empty() && slug.back() == '-') slug.pop_back();
  return "vlt/" + slug;
}
