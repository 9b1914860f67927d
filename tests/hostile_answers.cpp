#include "hostile_answers.hpp"

#include <zlib.h>

#include <algorithm>

namespace hostile {
namespace {

// Feeds text to the deflate stream and appends what comes out to out.
void deflate_into(z_stream& stream, const std::string& text, int flush, std::string& out) {
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  char buffer[1 << 16];
  do {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    deflate(&stream, flush);
    out.append(buffer, sizeof buffer - stream.avail_out);
  } while (stream.avail_out == 0);
}

}  // namespace

std::string gzip_bomb(std::size_t bytes) {
  z_stream stream{};
  // 15 + 16: a gzip header and trailer around the deflate data.
  deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  deflate_into(stream, "0", Z_NO_FLUSH, out);
  const std::string blanks(std::size_t{1} << 20, ' ');
  for (std::size_t left = bytes - 1; left > 0;) {
    const std::size_t part = std::min(left, blanks.size());
    deflate_into(stream, blanks.substr(0, part), Z_NO_FLUSH, out);
    left -= part;
  }
  deflate_into(stream, "", Z_FINISH, out);
  deflateEnd(&stream);
  return out;
}

std::string padded_zero(std::size_t bytes) { return "0" + std::string(bytes - 1, ' '); }

std::string empty_objects(std::size_t count) {
  std::string text = "[";
  text.reserve(3 * count + 2);
  for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "{}" : ",{}";
  return text + "]";
}

}  // namespace hostile
