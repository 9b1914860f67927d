#pragma once
// The client of the service's HTTPS JSON API: authenticated requests, the
// service lists and the device-code sign-in.
#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http_exchange.hpp"
#include "json_text.hpp"
#include "login.hpp"

namespace client_http {

// base_url without its trailing "/" characters, one "/", then path.
std::string join(std::string_view base_url, std::string_view path);

// The protocols a redirect may lead to from url: an https request never
// follows a redirect down to plain http.
std::string redirect_protocols(std::string_view url);

// The whole of one exchange: name resolution, connection, redirects and body.
inline constexpr std::chrono::milliseconds deadline{15'000};

// What one paged work-item list may hold in all its pages together: 100,000
// items, far beyond a real board, read in a few minutes at worst.
inline constexpr std::size_t max_list_pages = 1'000;
inline constexpr std::size_t max_list_values = 4'000'000;

}  // namespace client_http

// What the client needs from the outside world; tests replace them.
struct ClientHooks {
  std::function<login::Clock::time_point()> now = [] { return login::Clock::now(); };
  // Replaces the platform's URL launcher when set.
  std::function<bool(const std::string&)> open_browser = nullptr;
  // Replaces libcurl when set, so that requests can be answered without a socket.
  HttpTransport transport = nullptr;
  // For tests only: main never sets these and nothing at run time can.
  std::chrono::milliseconds deadline = client_http::deadline;
  std::string trusted_ca_file = {};  // a PEM file trusted instead of the system's CA store
  std::chrono::milliseconds launcher_patience = login::launcher_patience;
};

class Client {
 public:
  using Hooks = ClientHooks;

  Client(std::filesystem::path app_dir, std::string base_url, Hooks hooks = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const std::filesystem::path& app_dir() const { return app_dir_; }

  // A failed request's sentence, and whether the service may have carried it
  // out all the same: a write that got no answer, an unreadable one or a
  // redirect.
  struct Failure {
    std::string text;
    bool outcome_unknown = false;

    // The text, followed by the sentence that forbids a retry when the
    // outcome is unknown.
    std::string with_warning(std::string_view unconfirmed) const {
      return outcome_unknown ? text + " " + std::string(unconfirmed) : text;
    }
  };

  // One request to base_url + "/" + path with the board (docs false) or Docs
  // credential; the response's JSON value ({} for 204) or an error sentence.
  Result<Json> request(std::string_view method, std::string_view path, bool docs,
                       const std::optional<Json>& body = std::nullopt) const;
  // The same request, for a write that must tell a refusal from an unknown outcome.
  std::expected<Json, Failure> send(std::string_view method, std::string_view path, bool docs,
                                    const std::optional<Json>& body = std::nullopt) const;

  // The credential a request of that kind would carry now.
  Result<std::string> token(bool docs) const;

  // All pages of a project's work items, optionally scoped to one board.
  Result<std::vector<Json>> items_including(std::string_view project_id, std::optional<std::string_view> board_id,
                                            std::string_view include) const;
  Result<std::vector<Json>> pages(std::string_view project_id) const;
  Result<std::vector<Json>> boards(std::string_view project_id) const;
  // The account's projects with "repoPath" merged from the local registry.
  Result<std::vector<Json>> projects() const;

  // One sign-in action: "start", "poll" or "cancel".
  Result<Json> login(std::string_view action) const;
  // POST to a device sign-in endpoint, without credential.
  Result<Json> device_request(std::string_view path, const Json& body) const;

  // Drops the in-memory credential and any pending sign-in.
  void reset_auth() const { auth_ = {}; }
  const login::Auth& auth() const { return auth_; }
  // Reaps the URL launchers that a sign-in left running and that have ended
  // since; no other child.
  void reap_launchers() const { login::reap_ended(launchers_); }

 private:
  struct Transport;

  // One exchange with exactly these header lines (plus the JSON content type
  // when there is a body), through hooks_.transport or on a fresh libcurl
  // connection; nothing when no response came back.
  std::optional<HttpReply> exchange(std::string_view method, std::string_view path, std::vector<std::string> headers,
                                    const std::optional<Json>& body) const;

  std::filesystem::path app_dir_;
  std::string base_url_;
  Hooks hooks_;
  // Single-threaded interior mutability: the sign-in state changes through a
  // shared Client.
  mutable login::Auth auth_;
  // Apart from auth_, which a reset drops: a launcher is reaped all the same.
  mutable login::Launchers launchers_;
  std::unique_ptr<Transport> transport_;
};
