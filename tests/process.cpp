#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace process {
namespace {

using Clock = std::chrono::steady_clock;

bool inherited(std::string_view entry) { return !entry.starts_with("HOME=") && !entry.starts_with("VELTRUN_"); }

std::vector<std::string> child_environment(const Environment& overrides) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string name(text.substr(0, text.find('=')));
    if (inherited(text) && !overrides.contains(name)) entries.emplace_back(text);
  }
  for (const auto& [name, value] : overrides) {
    if (value) entries.push_back(name + "=" + *value);
  }
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

void make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int milliseconds_until(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Reads what is there; closes the descriptor at end of file.
void drain(int& fd, std::string& buffer) {
  char chunk[65536];
  ssize_t got = ::read(fd, chunk, sizeof chunk);
  if (got > 0) {
    buffer.append(chunk, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    close_fd(fd);
  }
}

// The words of VELTRUN_TEST_WRAPPER, none when it is unset or blank.
std::vector<std::string> wrapper() {
  std::vector<std::string> words;
  const char* text = std::getenv("VELTRUN_TEST_WRAPPER");
  std::string_view rest = text ? text : "";
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    words.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  return words;
}

int decoded(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

}  // namespace

Child::Child(const std::string& binary, const Environment& environment, const std::optional<std::string>& stdout_path) {
  // Our own writes to a child that has gone must fail, not kill the tests.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2] = {-1, -1}, err[2];
  make_pipe(in);
  make_pipe(err);
  if (!stdout_path) make_pipe(out);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  if (stdout_path) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path->c_str(), O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> arguments = wrapper();
  arguments.push_back(binary);
  std::vector<std::string> variables = child_environment(environment);
  // A wrapper is looked up in this process's PATH, which the child's
  // environment may replace.
  int failed = ::posix_spawnp(&pid_, arguments.front().c_str(), &actions, &attributes, pointers(arguments).data(),
                              pointers(variables).data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  ::close(in[0]);
  ::close(err[1]);
  if (!stdout_path) ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (failed != 0) throw std::runtime_error(std::string("cannot start ") + binary + ": " + std::strerror(failed));
  ::fcntl(in_, F_SETFL, ::fcntl(in_, F_GETFL) | O_NONBLOCK);
}

Child::~Child() {
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
  if (!status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
}

bool Child::write(std::string_view text) {
  while (!text.empty()) {
    pollfd fds[] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(fds, 3, static_cast<int>(scaled(20s).count())) <= 0) return false;
    if (fds[1].revents) drain(out_, out_buffer_);
    if (fds[2].revents) drain(err_, err_buffer_);
    if (fds[0].revents & (POLLERR | POLLHUP)) return false;
    if (!(fds[0].revents & POLLOUT)) continue;
    ssize_t written = ::write(in_, text.data(), text.size());
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (written < 0) return false;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void Child::close_input() { close_fd(in_); }

void Child::close_output() { close_fd(out_); }

bool Child::pump(Clock::time_point deadline) {
  if (out_ < 0 && err_ < 0) return false;
  pollfd fds[] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (::poll(fds, 2, milliseconds_until(deadline)) <= 0) return false;
  if (fds[0].revents) drain(out_, out_buffer_);
  if (fds[1].revents) drain(err_, err_buffer_);
  return true;
}

std::optional<std::string> Child::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + scaled(timeout);
  for (;;) {
    std::size_t end = out_buffer_.find('\n', taken_);
    if (end != std::string::npos) {
      std::string line = out_buffer_.substr(taken_, end - taken_);
      taken_ = end + 1;
      return line;
    }
    if (!pump(deadline)) return std::nullopt;
  }
}

std::optional<int> Child::reap(bool block) {
  if (status_) return status_;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (done == pid_) status_ = decoded(status);
  return status_;
}

Exit Child::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + scaled(timeout);
  close_input();
  while (pump(deadline)) {
  }
  while (!reap(false) && Clock::now() < deadline) std::this_thread::sleep_for(2ms);
  if (!status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  return Exit{*status_, out_buffer_, err_buffer_};
}

std::chrono::milliseconds scaled(std::chrono::milliseconds timeout) {
  const char* text = std::getenv("VELTRUN_TEST_TIME_SCALE");
  const double factor = text ? std::atof(text) : 1.0;
  if (!(factor > 1.0)) return timeout;
  return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(timeout.count() * factor));
}

Exit run(const std::string& binary, std::string_view input, const Environment& environment,
         std::chrono::milliseconds timeout) {
  Child child(binary, environment);
  child.write(input);
  return child.finish(timeout);
}

}  // namespace process
