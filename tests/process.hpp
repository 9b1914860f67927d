#pragma once
// Runs the real server binary as a child process with pipes on its standard
// streams, the way an agent host starts it.
//
// VELTRUN_TEST_WRAPPER (words split at spaces, e.g. "valgrind --error-exitcode=99")
// is put before the binary's path; VELTRUN_TEST_TIME_SCALE (a number, default 1)
// multiplies every timeout, for children that run slower under such a wrapper.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace process {

using namespace std::chrono_literals;

// Variables to set (a value) or remove (nothing) on top of this process's
// environment; HOME and every VELTRUN_* variable are removed unless given.
using Environment = std::map<std::string, std::optional<std::string>>;

struct Exit {
  int status = -1;  // exit status, or minus the signal that ended the child
  std::string out;  // everything read from standard output
  std::string err;  // everything read from standard error
};

class Child {
 public:
  // stdout_path: a file to open for standard output instead of a pipe.
  explicit Child(const std::string& binary, const Environment& environment = {},
                 const std::optional<std::string>& stdout_path = std::nullopt);
  ~Child();  // kills the child if it is still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // False when the child no longer reads its input.
  bool write(std::string_view text);
  void close_input();
  // Closes our end of the child's standard output: its next write fails.
  void close_output();
  // The next line of standard output without its LF, or nothing on timeout or
  // end of output.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = 20s);
  // Closes the input, collects the remaining output and waits for the exit;
  // a child still running at the timeout is killed.
  Exit finish(std::chrono::milliseconds timeout = 20s);

 private:
  // Moves available output into the buffers; false when nothing more can come
  // before the deadline.
  bool pump(std::chrono::steady_clock::time_point deadline);
  std::optional<int> reap(bool block);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_buffer_;
  std::size_t taken_ = 0;  // bytes of out_buffer_ already handed out by read_line
  std::string err_buffer_;
  std::optional<int> status_;
};

// The timeout stretched by VELTRUN_TEST_TIME_SCALE.
std::chrono::milliseconds scaled(std::chrono::milliseconds timeout);

// Writes the whole input, then closes it and collects everything.
Exit run(const std::string& binary, std::string_view input, const Environment& environment = {},
         std::chrono::milliseconds timeout = 20s);

}  // namespace process
