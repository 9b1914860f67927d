#include "line_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <istream>
#include <utility>

namespace line_reader {
namespace {

// A host may hand over a non-blocking input; wait for bytes instead of ending.
bool readable(int fd) {
  pollfd wanted = {fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&wanted, 1, -1);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

LineReader::LineReader(ByteSource source, std::size_t max_bytes) : source_(std::move(source)), max_bytes_(max_bytes) {}

std::expected<std::string_view, NoLine> LineReader::next() {
  if (begin_ == end_) begin_ = end_ = 0;
  std::size_t scanned = 0;  // bytes after begin_ known to hold no LF
  while (true) {
    const char* data = buffer_.get();
    if (const void* lf =
            end_ > begin_ + scanned ? std::memchr(data + begin_ + scanned, '\n', end_ - begin_ - scanned) : nullptr) {
      // The buffer holds at most max_bytes and an LF: a line found is within the bound.
      const std::size_t start = begin_;
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - data) - start;
      begin_ = start + length + 1;
      return std::string_view(data + start, length);
    }
    scanned = end_ - begin_;
    if (scanned > max_bytes_) return std::unexpected(skip_rest());
    if (!fill()) {
      const std::size_t start = std::exchange(begin_, end_);
      if (failed_ || start == end_) return std::unexpected(NoLine::end);
      return std::string_view(buffer_.get() + start, end_ - start);
    }
  }
}

bool LineReader::fill() {
  // Once ended, the input is not read again: a terminal would wait for more.
  if (ended_) return false;
  if (end_ == capacity_) make_room();
  const std::ptrdiff_t got = source_(std::span<char>(buffer_.get() + end_, capacity_ - end_));
  if (got <= 0) {
    ended_ = true;
    failed_ = got < 0;
    return false;
  }
  end_ += static_cast<std::size_t>(got);
  return true;
}

void LineReader::make_room() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (end_ < capacity_) return;
  }
  // A line of max_bytes and its LF fit: anything longer is past the bound.
  const std::size_t grown = std::min(std::max(capacity_ * 2, first_capacity), max_bytes_ + 1);
  auto larger = std::make_unique_for_overwrite<char[]>(grown);
  if (end_ > 0) std::memcpy(larger.get(), buffer_.get(), end_);
  buffer_ = std::move(larger);
  capacity_ = grown;
}

NoLine LineReader::skip_rest() {
  while (true) {
    begin_ = end_ = 0;
    if (!fill()) return NoLine::too_long;
    if (const void* lf = std::memchr(buffer_.get(), '\n', end_)) {
      begin_ = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer_.get()) + 1;
      return NoLine::too_long;
    }
  }
}

ByteSource descriptor_source(int fd) {
  return [fd](std::span<char> into) -> std::ptrdiff_t {
    while (true) {
      const ssize_t got = ::read(fd, into.data(), into.size());
      if (got >= 0) return got;
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && readable(fd)) continue;
      return -1;
    }
  };
}

ByteSource stream_source(std::istream& in) {
  return [&in](std::span<char> into) -> std::ptrdiff_t {
    std::streambuf* bytes = in.rdbuf();
    std::size_t taken = 0;
    while (taken < into.size()) {
      const auto c = bytes->sbumpc();
      if (c == std::char_traits<char>::eof()) break;
      into[taken++] = std::char_traits<char>::to_char_type(c);
      if (into[taken - 1] == '\n') break;
    }
    return static_cast<std::ptrdiff_t>(taken);
  };
}

}  // namespace line_reader
