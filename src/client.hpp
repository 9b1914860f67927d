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
#include "login.hpp"
#include "team_core/json_text.hpp"

namespace client_http {

// base_url without its trailing "/" characters, one "/", then path.
std::string join(std::string_view base_url, std::string_view path);

// The protocols a redirect may lead to from url: an https request never
// follows a redirect down to plain http.
std::string redirect_protocols(std::string_view url);

// The whole of one exchange: name resolution, connection, redirects and body.
inline constexpr std::chrono::milliseconds deadline{15'000};

// All the requests of one tool call together. The reference MCP client gives
// up on a request after 60 seconds by default, and many hosts keep that: the
// reply must come before, with time to print it. A board of 15,000 work items
// is 150 pages, some 20 seconds at 100 ms a page; nothing else is answered
// meanwhile.
inline constexpr std::chrono::seconds call_budget{50};

// What one paged work-item listing may read: 100,000 items, far beyond a
// real board.
inline constexpr std::size_t max_list_pages = 1'000;
// What a listing may keep of its pages, counted as the items are kept: a
// board of 15,000 items with their comments is about 600,000 values and
// 19 MB of strings and keys; a service that adds page upon page ends here,
// not when memory runs out. The bytes bound also holds what a walk keeps
// instead of items (the ids and assignees of a board count), at what they
// cost in memory.
inline constexpr std::size_t max_list_values = 4'000'000;
inline constexpr std::size_t max_list_bytes = std::size_t{128} << 20;

// What one text kept in a hash set or map costs besides its bytes on a
// 64-bit libstdc++: its node, its share of the buckets (more while they
// grow) and the allocator's headers come to 60 to 120 bytes.
inline constexpr std::size_t kept_entry_overhead = 128;

// A text kept in a hash set or map, as the bounds above count it.
constexpr std::size_t kept_entry_bytes(std::size_t text_bytes) { return text_bytes + kept_entry_overhead; }

// Hashes a kept text and a view of one alike, so that a look-up copies nothing.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// The cursors one listing has used, counted as kept entries: a cursor is an
// item's id, a few dozen bytes on a real board, so even 1,000 pages' worth
// are some 150 KB; this leaves each 8 KB.
inline constexpr std::size_t max_list_cursor_bytes = std::size_t{8} << 20;

// The sentence of a listing past one of the limits above.
std::string list_too_large();

}  // namespace client_http

// What the client needs from the outside world; tests replace them.
struct ClientHooks {
  using WallClock = std::function<std::chrono::system_clock::time_point()>;

  std::function<login::Clock::time_point()> now = [] { return login::Clock::now(); };
  // Replaces the platform's URL launcher when set.
  std::function<bool(const std::string&)> open_browser = nullptr;
  // The time of day that board summaries and phase durations are stamped with.
  WallClock wall_now = [] { return std::chrono::system_clock::now(); };
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

  // Without an app directory no credential file and no registry is read.
  Client(std::optional<std::filesystem::path> app_dir, std::string base_url, Hooks hooks = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const ClientHooks::WallClock& wall_clock() const { return hooks_.wall_now; }

  // Whether the tool call under way has used up its budget.
  bool call_spent() const;

  const std::optional<std::filesystem::path>& app_dir() const { return app_dir_; }

  // A failed request's sentence, and whether the service may have carried it
  // out all the same: a write whose answer is a redirect, a server error
  // (500 or above) or unreadable, or that got none after it may have left.
  // A refusal (400 to 499) and a write that never left are not in doubt.
  struct Failure {
    std::string text;
    bool outcome_unknown = false;

    // The text, followed by the sentence that forbids a retry when the
    // outcome is unknown.
    std::string text_with(std::string_view sentence) const {
      return outcome_unknown ? text + " " + std::string(sentence) : text;
    }
  };

  // One request to base_url + "/" + path with the board (docs false) or Docs
  // credential; the response's JSON value ({} for 204) or an error sentence.
  Result<Json> request(std::string_view method, std::string_view path, bool docs,
                       const std::optional<Json>& body = std::nullopt) const;
  // The same request, for a write that must tell a refusal from an unknown outcome.
  std::expected<Json, Failure> send(std::string_view method, std::string_view path, bool docs,
                                    const std::optional<Json>& body = std::nullopt) const;

  // Gives the requests of one tool call client_http::call_budget in all,
  // until the returned guard ends: none starts past it, and one in flight
  // gets what is left of it, never more than its own deadline.
  class CallBudget {
   public:
    explicit CallBudget(const Client& client) : client_(client) {}
    CallBudget(const CallBudget&) = delete;
    CallBudget& operator=(const CallBudget&) = delete;
    ~CallBudget() {
      client_.call_ends_.reset();
      client_.call_wrote_ = false;
    }

   private:
    const Client& client_;
  };
  [[nodiscard]] CallBudget budget_call() const;

  // The credential a request of that kind would carry now.
  Result<std::string> token(bool docs) const;
  // A larger credential file counts as missing. A real key is a few hundred
  // bytes; the bound keeps the read on every request small whatever lies
  // there, and far below the 1 MiB that libcurl lets a request head hold.
  static constexpr std::size_t max_credential_file_bytes = std::size_t{16} << 10;

  // Takes each page's items in page order, free to move them out; an error
  // ends the listing with that text.
  using ItemPages = std::function<Result<void>(std::vector<Json>& items)>;

  // Every page of a project's work items, optionally scoped to one board,
  // handed to take one at a time: only what take keeps outlives its page.
  Result<void> each_item_page(std::string_view project_id, std::optional<std::string_view> board_id,
                              std::string_view include, const ItemPages& take) const;
  // Whether an item belongs in a list of kept items.
  using ItemFilter = std::function<bool(const Json& item)>;
  // The items that keep accepts, in one list within the list limits: only
  // the items kept count against them.
  Result<std::vector<Json>> items_kept(std::string_view project_id, std::optional<std::string_view> board_id,
                                       std::string_view include, const ItemFilter& keep) const;
  // All of them in one list, within the list limits.
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
  // connection.
  HttpAnswer exchange(std::string_view method, std::string_view path, std::vector<std::string> headers,
                      const std::optional<Json>& body) const;

  std::optional<std::filesystem::path> app_dir_;
  std::string base_url_;
  Hooks hooks_;
  // Single-threaded interior mutability: the sign-in state changes through a
  // shared Client.
  mutable login::Auth auth_;
  mutable std::optional<login::Clock::time_point> call_ends_;  // of the tool call under way
  // Whether a write of the call under way was carried out or may have been.
  mutable bool call_wrote_ = false;
  // Apart from auth_, which a reset drops: a launcher is reaped all the same.
  mutable login::Launchers launchers_;
  std::unique_ptr<Transport> transport_;
};
