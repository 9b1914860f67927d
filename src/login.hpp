#pragma once
// Device-code sign-in: its state, its actions over a channel the Client
// provides, and the browser launch.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http_exchange.hpp"
#include "team_core/json_text.hpp"

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

// What a sign-in uses of the outside world; the Client provides it.
struct Channel {
  // POST to a device sign-in endpoint: its JSON answer or a sign-in failure text.
  std::function<Result<Json>(std::string_view path, const Json& body)> post;
  std::function<Clock::time_point()> now;
  std::function<bool(const std::string&)> open_browser;
};

// One sign-in action, "start", "poll" or "cancel", on auth.
Result<Json> act(Auth& auth, std::string_view action, const Channel& channel);

// The header lines of a device endpoint request: no credential, no Accept.
std::vector<std::string> device_headers();

// A device endpoint's answer: its JSON value, or the sign-in failure text.
Result<Json> device_answer(const std::optional<HttpReply>& reply);

// Launchers left running by open_browser, by pid: the only children the
// sign-in may reap.
using Launchers = std::vector<pid_t>;

// Reaps those of launchers that have ended and drops them from it.
void reap_ended(Launchers& launchers);

// A longer key from an approved sign-in is refused. A real one is a few
// hundred bytes; every request carries it in a header, which many servers
// cap at 8 KiB a line and libcurl at 1 MiB for the request head, past which
// no request could be sent.
inline constexpr std::size_t max_key_bytes = 4096;

// A longer sign-in URL is refused: the real one is under a hundred bytes,
// and 2 KiB is what browsers, launchers and chat links all take.
inline constexpr std::size_t max_sign_in_url_bytes = 2048;

// Why a sign-in URL may not be opened, or nothing when it leads to the
// service's own device page over https and nowhere else.
std::optional<std::string_view> sign_in_url_problem(const std::string& text);

// How long a sign-in waits for the URL launcher: without a desktop session
// xdg-open may run the browser itself and return only when it is closed.
inline constexpr std::chrono::seconds launcher_patience{10};

// Runs the platform's URL launcher ("open" on macOS, "xdg-open" elsewhere)
// with the URL as its only argument; true only for a normal exit with status 0
// within patience. A launcher still running then is left to run, added to
// left_running, and counts as not opened. Ended ones of left_running are
// reaped first.
bool open_browser(const std::string& url, Launchers& left_running,
                  std::chrono::milliseconds patience = launcher_patience);

}  // namespace login
