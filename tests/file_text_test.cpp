#include "file_text.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "temp_dir.hpp"

namespace {

struct BoundCase {
  const char* name;
  std::string text;
  std::optional<std::string> read;
};

TEST(FileText, ReadsAtMostTheBound) {
  const std::vector<BoundCase> cases = {
      {"empty", "", ""},
      {"at the bound", "12345678", "12345678"},
      {"one byte past it", "123456789", std::nullopt},
      {"not UTF-8 within it", "abc\xff", std::nullopt},
  };
  for (const BoundCase& row : cases) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    dir.write("file", row.text);
    EXPECT_EQ(file_text::read(dir.path() / "file", 8), row.read);
  }
}

// Judged by its size before any byte is read: a sparse file far past the
// bound costs nothing.
TEST(FileText, SparseFilePastTheBoundIsNotRead) {
  TempDir dir;
  dir.write("file", "");
  std::filesystem::resize_file(dir.path() / "file", std::uintmax_t{1} << 40);
  EXPECT_EQ(file_text::read(dir.path() / "file", 1 << 20), std::nullopt);
}

// The open itself must not wait: a named pipe opens at once, with or without
// a writer, and counts as no file.
TEST(FileText, NamedPipeIsNoFileEvenWithAWriter) {
  TempDir dir;
  const auto pipe = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(file_text::read(pipe, 64), std::nullopt);
  const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "text", 4), 4);
  EXPECT_EQ(file_text::read(pipe, 64), std::nullopt);
  ::close(writer);
  ::close(reader);
}

}  // namespace
