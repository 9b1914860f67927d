#include "line_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using line_reader::LineReader;
using line_reader::NoLine;

// What the reader gave, one entry a call: the line, or <too long> / <end>.
std::vector<std::string> read_all(LineReader& reader) {
  std::vector<std::string> got;
  while (true) {
    const auto line = reader.next();
    if (!line && line.error() == NoLine::end) break;
    got.push_back(line ? std::string(*line) : "<too long>");
  }
  got.push_back("<end>");
  return got;
}

// The input in pieces of at most piece bytes a read, then the end (or a
// failed read).
struct Pieces {
  std::string input;
  std::size_t piece;
  bool fails_at_end = false;
  std::size_t at = 0;
  int reads = 0;

  line_reader::ByteSource source() {
    return [this](std::span<char> into) -> std::ptrdiff_t {
      ++reads;
      const std::size_t taken = std::min({piece, into.size(), input.size() - at});
      if (taken == 0) return fails_at_end ? -1 : 0;
      std::memcpy(into.data(), input.data() + at, taken);
      at += taken;
      return static_cast<std::ptrdiff_t>(taken);
    };
  }
};

// Lines across read and buffer edges: the bound is 8 bytes, so the buffer
// never holds more than 9 and lines are moved to its front often.
TEST(LineReader, LinesWhateverPiecesTheyArriveIn) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"nothing", "", {"<end>"}},
      {"two lines", "ab\ncd\n", {"ab", "cd", "<end>"}},
      {"empty lines", "\n\n", {"", "", "<end>"}},
      {"a last line without LF", "ab\nlast", {"ab", "last", "<end>"}},
      {"CR kept for the caller", "a\r\n", {"a\r", "<end>"}},
      {"growing lines", "a\nbb\nccc\ndddd\neeeee\nffffff\n", {"a", "bb", "ccc", "dddd", "eeeee", "ffffff", "<end>"}},
      {"at the bound", "12345678\n12345678", {"12345678", "12345678", "<end>"}},
      {"past the bound", "123456789\nok\n", {"<too long>", "ok", "<end>"}},
      {"far past the bound", "x\n" + std::string(30, 'y') + "\nok", {"x", "<too long>", "ok", "<end>"}},
      {"past the bound at the end", "ok\n123456789", {"ok", "<too long>", "<end>"}},
      {"past the bound, not UTF-8", "\xff\xff\xff\xff\xff\xff\xff\xff\xff\n\xff\n", {"<too long>", "\xff", "<end>"}},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {1, 2, 3, 5, 9, 1000}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      Pieces input{c.input, piece};
      LineReader reader(input.source(), 8);
      EXPECT_EQ(read_all(reader), c.lines);
    }
  }
}

// Lines longer than the first buffer grow it up to the bound and no further.
TEST(LineReader, LongLinesGrowTheBufferUpToTheBound) {
  const std::size_t bound = 3 * line_reader::first_capacity;
  const std::string at_bound(bound, 'a');
  const std::string past_bound(bound + 1, 'b');
  for (const std::size_t piece : {std::size_t{4096}, line_reader::first_capacity + 1, 4 * bound}) {
    SCOPED_TRACE(piece);
    Pieces input{"x\n" + at_bound + "\n" + past_bound + "\ny\n" + past_bound, piece};
    LineReader reader(input.source(), bound);
    EXPECT_EQ(read_all(reader), (std::vector<std::string>{"x", at_bound, "<too long>", "y", "<too long>", "<end>"}));
  }
}

// A line a failed read cut short is no line; once ended, the input is not
// read again (a terminal would wait for more).
TEST(LineReader, EndsAtAFailedReadAndReadsNoMore) {
  Pieces failing{"ab\ncd", 2, true};
  LineReader reader(failing.source(), 8);
  EXPECT_EQ(read_all(reader), (std::vector<std::string>{"ab", "<end>"}));

  Pieces ended{"ab", 100};
  LineReader again(ended.source(), 8);
  EXPECT_EQ(read_all(again), (std::vector<std::string>{"ab", "<end>"}));
  const int reads = ended.reads;
  EXPECT_EQ(again.next(), std::unexpected(NoLine::end));
  EXPECT_EQ(ended.reads, reads);
}

// The state letter of one of this process's threads ('S' while it waits).
char thread_state(pid_t thread) {
  std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
  std::string text;
  std::getline(stat, text);
  const std::size_t after_name = text.rfind(") ");
  return after_name == std::string::npos ? '?' : text[after_name + 2];
}

// A non-blocking input with nothing in it yet is waited for, not taken for
// its end: more arrives only once the reader is found waiting.
TEST(LineReader, WaitsForANonBlockingDescriptor) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  ASSERT_EQ(::write(fds[1], "one\n", 4), 4);
  std::atomic<pid_t> reader_thread = 0;
  std::atomic<bool> done = false;
  std::vector<std::string> lines;
  std::thread reading([&] {
    reader_thread = static_cast<pid_t>(::syscall(SYS_gettid));
    LineReader reader(line_reader::descriptor_source(fds[0]), 8);
    lines = read_all(reader);
    done = true;
  });
  while (!done && (reader_thread == 0 || thread_state(reader_thread) != 'S')) std::this_thread::yield();
  ASSERT_EQ(::write(fds[1], "two\n", 4), 4);
  ::close(fds[1]);
  reading.join();
  ::close(fds[0]);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "<end>"}));
}

}  // namespace
