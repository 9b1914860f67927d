#pragma once
// Device-code sign-in state and the browser launch.
#include <chrono>
#include <optional>
#include <string>

#include "json_text.hpp"

namespace login {

using Clock = std::chrono::steady_clock;

// One device authorization in progress.
struct Pending {
  std::string device_code;
  Clock::time_point expires_at;
  Clock::time_point next_poll_at;
  std::chrono::seconds interval{5};
  Json start_response;  // replayed to early polls, "pending" answers and repeated starts
};

struct Auth {
  std::optional<std::string> token;  // in-memory credential from an approved sign-in
  std::optional<Pending> pending;
};

// Runs the platform's URL launcher ("open" on macOS, "xdg-open" elsewhere)
// with the URL as its only argument; true only for a normal exit with status 0.
bool open_browser(const std::string& url);

}  // namespace login
