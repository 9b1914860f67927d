#pragma once
// The client of the service's HTTPS JSON API: authenticated requests, the
// service lists and the device-code sign-in.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_text.hpp"
#include "login.hpp"

namespace client_http {

// base_url without its trailing "/" characters, one "/", then path.
std::string join(std::string_view base_url, std::string_view path);

// The protocols a redirect may lead to from url: an https request never
// follows a redirect down to plain http.
std::string redirect_protocols(std::string_view url);

}  // namespace client_http

// One request as it goes to the service.
struct HttpExchange {
  std::string method;
  std::string url;                   // the base URL joined with the path, query included
  std::vector<std::string> headers;  // "Name: value" lines; "Name:" asks for no such header at all
  std::optional<std::string> body;   // compact JSON, announced by a "Content-Type: application/json" line
};

// The final status of an answer and its body.
struct HttpReply {
  long status = 0;
  std::string body;
  bool body_read = true;  // false when the status arrived but its body could not be read
};

// Answers one exchange; nothing when no response came back.
using HttpTransport = std::function<std::optional<HttpReply>(const HttpExchange&)>;

// What the client needs from the outside world; tests replace them.
struct ClientHooks {
  std::function<login::Clock::time_point()> now = [] { return login::Clock::now(); };
  std::function<bool(const std::string&)> open_browser = login::open_browser;
  // Replaces libcurl when set, so that requests can be answered without a socket.
  HttpTransport transport = nullptr;
};

class Client {
 public:
  using Hooks = ClientHooks;

  Client(std::filesystem::path app_dir, std::string base_url, Hooks hooks = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const std::filesystem::path& app_dir() const { return app_dir_; }
  const std::string& base_url() const { return base_url_; }

  // One request to base_url + "/" + path with the board (docs false) or Docs
  // credential; the response's JSON value ({} for 204) or an error sentence.
  Result<Json> request(std::string_view method, std::string_view path, bool docs,
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
  std::unique_ptr<Transport> transport_;
};
