#include "login.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <thread>

#include "build_config.hpp"
#include "context.hpp"
#include "curl_library.hpp"
#include "tool_outcome.hpp"

extern char** environ;

namespace {

constexpr std::string_view sign_in_user_agent = "User-Agent: Mozilla/5.0 VeltrunTeam/0.3 Safari/537.36";
constexpr std::string_view request_failed = "Veltrun sign-in request failed. Try again; no credentials were returned.";
constexpr std::string_view invalid_response = "Invalid Veltrun sign-in response.";
constexpr std::string_view key_prefix = "vlt_live_";

constexpr std::string_view start_instruction =
    "The browser was opened if browser_opened is true; otherwise use the fallback link. Always show "
    "verification_uri_complete as a clickable Markdown link labeled Open Veltrun sign-in, with the user code as "
    "fallback. Poll automatically after interval seconds while the user approves in the browser; do not ask them to "
    "report completion. Stop on authenticated, denied, expired or cancellation. Never request passwords or keys in "
    "chat.";
constexpr std::string_view authenticated_instruction =
    "Continue automatically: call veltrun_session(action=status), resolve any project/board choices, then load "
    "project_context. Do not ask whether login finished or require another confirmation. Credentials are kept only "
    "in this MCP process. Never retry a previous write automatically.";
constexpr std::string_view expired_instruction = "Start login again if the user still wants to connect.";

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_library::get()->url_cleanup(url); }
};

// A part of a parsed URL; nothing when the URL lacks it.
std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* text = nullptr;
  const curl_library::Functions& curl = *curl_library::get();
  if (curl.url_get(url, which, &text, flags) != CURLUE_OK) return std::nullopt;
  std::string value(text);
  curl.free(text);
  return value;
}

std::string ascii_lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return text;
}

}  // namespace

namespace login {

// The sign-in URL must lead to the service's own device page and nowhere
// else. libcurl's parser removes dot segments and resolves the default port
// but keeps the host's letter case; whatever it refuses counts as no URL.
std::optional<std::string_view> sign_in_url_problem(const std::string& text) {
  if (text.size() > max_sign_in_url_bytes) return invalid_response;
  // Without libcurl no URL can be checked, so none is trusted.
  const curl_library::Functions* curl = curl_library::get();
  if (!curl) return "Invalid sign-in URL.";
  std::unique_ptr<CURLU, UrlDeleter> url(curl->url());
  if (!url || text.find('\0') != std::string::npos ||
      curl->url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
    return "Invalid sign-in URL.";
  }
  const auto scheme = part(url.get(), CURLUPART_SCHEME);
  const auto host = part(url.get(), CURLUPART_HOST);
  const auto port = part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  const auto path = part(url.get(), CURLUPART_PATH);
  const bool no_credentials =
      part(url.get(), CURLUPART_USER).value_or("").empty() && part(url.get(), CURLUPART_PASSWORD).value_or("").empty();
  const bool sound = scheme == "https" && host && ascii_lower(*host) == build_config::service_host &&
                     (path == "/app/device" || path == "/device") && no_credentials && port == "443";
  if (!sound) return invalid_response;
  return std::nullopt;
}

}  // namespace login

namespace {

std::chrono::seconds poll_interval(const Json& answer) {
  const auto value = context::whole_number(context::member(answer, "interval"));
  if (!value) return std::chrono::seconds(5);
  return std::chrono::seconds(std::clamp<std::uint64_t>(*value, 1, 60));
}

// Embedded control characters could never travel in a request header, nor
// could a key past max_key_bytes.
bool usable_key(std::string_view key) {
  return key.starts_with(key_prefix) && key.size() <= login::max_key_bytes &&
         std::none_of(key.begin(), key.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

Result<Json> start(login::Auth& auth, const login::Channel& channel) {
  if (auth.pending) return auth.pending->start_response;
  const auto answer = channel.post("device/authorize", Json{{"deviceLabel", "Veltrun MCP"}});
  if (!answer) return std::unexpected(answer.error());
  const std::string device_code = context::field(*answer, "device_code");
  const std::string user_code = context::field(*answer, "user_code");
  const std::string url = context::field(*answer, "verification_uri_complete");
  if (const auto problem = login::sign_in_url_problem(url)) return failure(*problem);
  if (device_code.empty() || user_code.empty()) return failure(invalid_response);
  const auto expires_in = context::whole_number(context::member(*answer, "expires_in"));
  if (!expires_in || *expires_in < 1 || *expires_in > 3600) return failure("Invalid login expiry.");
  const auto interval = poll_interval(*answer);

  // Only a response that passed every check may open the browser.
  const bool opened = channel.open_browser(url);
  Json result = {
      {"browser_opened", opened},         {"expires_in", *expires_in}, {"instruction", start_instruction},
      {"interval", interval.count()},     {"status", "pending"},       {"user_code", user_code},
      {"verification_uri_complete", url},
  };
  const auto now = channel.now();
  auth.pending = login::Pending{
      .device_code = device_code,
      .expires_at = now + std::chrono::seconds(*expires_in),
      .next_poll_at = now + interval,
      .interval = interval,
      .start_response = result,
  };
  return result;
}

Result<Json> poll(login::Auth& auth, const login::Channel& channel) {
  if (!auth.pending) return failure("No pending sign-in. Call start first.");
  login::Pending& pending = *auth.pending;
  const auto now = channel.now();
  if (now < pending.next_poll_at) return pending.start_response;
  // Moved on before sending, so that a failed poll also keeps the spacing.
  pending.next_poll_at = now + pending.interval;

  const auto answer = channel.post("device/token", Json{{"device_code", pending.device_code}});
  if (!answer) return std::unexpected(answer.error());
  const auto status = answer->is_object() ? answer->find("status") : answer->end();
  const std::string word = status != answer->end() && status->is_string() ? status->get<std::string>() : "";
  if (word == "pending") return pending.start_response;
  if (word == "denied" || word == "expired") {
    auth.pending.reset();
    return Json{{"status", word}};
  }
  if (word != "approved") return failure("Unexpected sign-in status.");
  std::string key = context::field(*answer, "key");
  if (!usable_key(key)) return failure("Invalid credential in sign-in response.");
  auth.token = std::move(key);
  auth.pending.reset();
  return Json{{"instruction", authenticated_instruction}, {"status", "authenticated"}};
}

}  // namespace

namespace login {

Result<Json> act(Auth& auth, std::string_view action, const Channel& channel) {
  if (action == "cancel") {
    auth.pending.reset();
    return Json{{"status", "cancelled"}};
  }
  if (action != "start" && action != "poll") return failure("action must be start, poll or cancel.");
  const bool expired = auth.pending && channel.now() >= auth.pending->expires_at;
  if (expired) auth.pending.reset();
  if (action == "start") return start(auth, channel);
  if (expired) return Json{{"instruction", expired_instruction}, {"status", "expired"}};
  return poll(auth, channel);
}

// "Accept:" with no value keeps libcurl from adding its own.
std::vector<std::string> device_headers() { return {std::string(sign_in_user_agent), "Accept:"}; }

Result<Json> device_answer(const std::optional<HttpReply>& reply) {
  // A sign-in request carries a body and follows no redirect: a redirect
  // is no answer from the sign-in endpoint.
  if (!reply || reply->status >= 300) return failure(request_failed);
  auto value = client_http::parsed_body(*reply);
  if (!value) return failure(invalid_response);
  return std::move(*value);
}

// A launcher that outlasted an earlier wait is reaped once it has ended, so
// that none stays behind as a zombie; by its pid alone, since whoever hosts
// the sign-in may have children of its own.
void reap_ended(Launchers& launchers) {
  std::erase_if(launchers, [](pid_t launcher) {
    int status = 0;
    const pid_t ended = waitpid(launcher, &status, WNOHANG);
    return ended == launcher || (ended < 0 && errno == ECHILD);
  });
}

bool open_browser(const std::string& url, Launchers& left_running, std::chrono::milliseconds patience) {
  reap_ended(left_running);
#ifdef __APPLE__
  const char* launcher = "open";
#else
  const char* launcher = "xdg-open";
#endif
  posix_spawn_file_actions_t streams;
  if (posix_spawn_file_actions_init(&streams) != 0) return false;
  const bool silenced = posix_spawn_file_actions_addopen(&streams, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
                        posix_spawn_file_actions_addopen(&streams, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
                        posix_spawn_file_actions_addopen(&streams, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
  // The server ignores SIGPIPE; the launcher gets the default back.
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&streams);
    return false;
  }
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  const bool prepared = silenced && posix_spawnattr_setsigdefault(&attributes, &pipe_signal) == 0 &&
                        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF) == 0;
  // posix_spawnp takes argv as char* const[]; it does not write to it.
  char* argv[] = {const_cast<char*>(launcher), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = 0;
  const int spawned = prepared ? posix_spawnp(&child, launcher, &streams, &attributes, argv, environ) : -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&streams);
  if (spawned != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (true) {
    int status = 0;
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (ended < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      left_running.push_back(child);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace login
