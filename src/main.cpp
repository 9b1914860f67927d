#include <unistd.h>

#include <csignal>
#include <string>

#include "client.hpp"
#include "environment.hpp"
#include "server.hpp"
#include "session.hpp"

namespace {

constexpr int write_failure_status = 101;

void report_write_failure(const std::string& reason) {
  const std::string line = "veltrun-mcp: cannot write to standard output: " + reason + "\n";
  [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

int main() {
  // A closed pipe must show up as a failed write, not as a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  // Each executable is compiled with its own base URL: the server with the
  // service's, the test build with the fake's.
  const Environment env = environment::read();
  const Client client(server::app_dir(env.home), VELTRUN_API_BASE_URL);
  Session session = Session::from_env(env);
  if (auto served = server::serve(line_reader::descriptor_source(STDIN_FILENO), server::descriptor_sink(STDOUT_FILENO),
                                  session, client);
      !served) {
    report_write_failure(served.error());
    return write_failure_status;
  }
  return 0;
}
