#pragma once
// Answers a broken or hostile service may give, built small in memory.
#include <cstddef>
#include <string>

namespace hostile {

// Gzip of a JSON text of exactly bytes bytes, "0" and blanks after it: a few
// hundred KB that expand to any size.
std::string gzip_bomb(std::size_t bytes);

// The same text, uncompressed.
std::string padded_zero(std::size_t bytes);

// "[{},{},...]": count empty objects, count + 1 values in 3 bytes each.
std::string empty_objects(std::size_t count);

}  // namespace hostile
