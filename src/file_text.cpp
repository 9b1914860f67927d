#include "file_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "unicode_text.hpp"

namespace file_text {
namespace {

// Closes the descriptor on every path out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The file's bytes, the buffer sized first by what fstat said; more than
// max_bytes (a file that grew since) or a read error gives nothing.
std::optional<std::string> read_at_most(int fd, std::size_t expected, std::size_t max_bytes) {
  std::string text(std::min(expected, max_bytes) + 1, '\0');
  std::size_t filled = 0;
  while (true) {
    const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
    if (filled > max_bytes) return std::nullopt;
    if (filled == text.size()) text.resize(std::min(text.size() * 2, max_bytes + 1));
  }
  text.resize(filled);
  return text;
}

// Only a regular file holds text: a directory reads as nothing, a pipe waits
// for a writer, a device such as /dev/zero never ends.
bool regular(const struct stat& status) { return S_ISREG(status.st_mode); }

}  // namespace

std::optional<std::string> read(const std::filesystem::path& path, std::size_t max_bytes) {
  // Nothing else is even opened, since opening a device can act by itself (a
  // watchdog arms, a tape rewinds).
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0 || !regular(named)) return std::nullopt;
  // The path may name something else by the open: what was opened is judged
  // again, and O_NONBLOCK keeps the open of a pipe put in its place from
  // waiting for a writer.
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return std::nullopt;
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !regular(status)) return std::nullopt;
  const auto size = static_cast<std::uintmax_t>(status.st_size);
  if (size > max_bytes) return std::nullopt;
  auto text = read_at_most(file.get(), static_cast<std::size_t>(size), max_bytes);
  if (!text || !unicode_text::valid_utf8(*text)) return std::nullopt;
  return text;
}

}  // namespace file_text
