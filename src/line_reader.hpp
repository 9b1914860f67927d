#pragma once
// Request lines handed out where their read put them: a line is never copied
// after it is read.
#include <cstddef>
#include <expected>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string_view>

namespace line_reader {

// Reads at most into.size() bytes into into: how many, 0 at the end of the
// input, or a negative number when the input cannot be read.
using ByteSource = std::function<std::ptrdiff_t(std::span<char> into)>;

// Why no line came: a line past the bound, read past and dropped, or the end
// of the input (a read error included).
enum class NoLine { too_long, end };

// How much a reader holds at first; a longer line doubles it, up to the bound.
inline constexpr std::size_t first_capacity = std::size_t{64} << 10;

class LineReader {
 public:
  // A line longer than max_bytes (without its LF) is read past in pieces
  // and never held whole.
  LineReader(ByteSource source, std::size_t max_bytes);

  // The next line without its LF, valid until the next call. A last line
  // without LF is still a line.
  std::expected<std::string_view, NoLine> next();

 private:
  // Reads more after what is held; false at the end of the input.
  bool fill();
  // Room after what is held: the handed-out lines go, then the buffer grows.
  void make_room();
  // Drops the rest of a line past the bound, through its LF.
  NoLine skip_rest();

  ByteSource source_;
  std::size_t max_bytes_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // the first byte not handed out yet
  std::size_t end_ = 0;    // one past the last byte read
  bool ended_ = false;     // the input has ended or failed
  bool failed_ = false;    // a read failed: a line it cut short is dropped
};

// Reads a descriptor, waiting for input when it is non-blocking.
ByteSource descriptor_source(int fd);

// Reads a stream byte by byte through the next LF at most, so that the stream
// still holds every line not yet asked for.
ByteSource stream_source(std::istream& in);

}  // namespace line_reader
