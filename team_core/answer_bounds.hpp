#pragma once
// What one answer of the service may hold once decoded. A board page of 100
// work items with long descriptions and comment histories is a few MB; a gzip
// bomb or an endless body stops here. Values are counted too: ten million
// empty objects are 30 MB of text but near 1 GiB once parsed.
#include <cstddef>

namespace team_core::api {

inline constexpr std::size_t max_answer_bytes = std::size_t{64} << 20;
inline constexpr std::size_t max_answer_values = 2'000'000;

}  // namespace team_core::api
