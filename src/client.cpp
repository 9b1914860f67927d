#include "client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>

#include "curl_library.hpp"
#include "file_text.hpp"
#include "unicode_text.hpp"

namespace {

constexpr std::string_view api_user_agent = "User-Agent: Mozilla/5.0 VeltrunTeam/0.2 Safari/537.36";
constexpr std::string_view token_unavailable =
    "AUTH_REQUIRED: Token unavailable. Use veltrun_login after session opt-in.";
constexpr std::string_view authentication_expired =
    "AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again.";
constexpr std::string_view invalid_json = "Veltrun API returned invalid JSON.";

// The connect phase's own bound. It never fires under the overall deadline;
// it stays so that a connect alone can never wait longer, whatever deadline
// a caller sets.
constexpr long connect_timeout_ms = 30'000;
constexpr long max_redirects = 5;

// libcurl's functions, once Client::exchange has made sure it is loaded:
// every libcurl object below exists only after that.
const curl_library::Functions& curl() { return *curl_library::get(); }

using curl_library::set;

struct EasyDeleter {
  void operator()(CURL* handle) const { curl().easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl().slist_free_all(list); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// The decoded body as it arrives, up to its cap, and what stopped it when
// memory ran out.
struct Collected {
  std::string& text;
  std::size_t cap;
  std::exception_ptr failure = nullptr;
};

// Taking less than offered ends the transfer: past the cap, or when memory
// runs out, whose exception waits in failure since none may cross libcurl's
// C frames.
std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
  Collected& body = *static_cast<Collected*>(target);
  const std::size_t length = size * count;
  if (length > body.cap - body.text.size()) return 0;
  try {
    body.text.append(data, length);
  } catch (...) {
    body.failure = std::current_exception();
    return 0;
  }
  return length;
}

// Tracks whether the latest response's header block has ended: each status
// line opens one, the empty line closes it.
std::size_t note_head(char* data, std::size_t size, std::size_t count, void* target) {
  const std::string_view line(data, size * count);
  bool& complete = *static_cast<bool*>(target);
  if (line.starts_with("HTTP/")) {
    complete = false;
  } else if (line == "\r\n" || line == "\n") {
    complete = true;
  }
  return size * count;
}

// A header line with a control character would split into several lines on
// the wire; such a request is not sent at all.
bool safe_header(std::string_view line) {
  return std::none_of(line.begin(), line.end(), [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; });
}

std::optional<HeaderList> header_list(const std::vector<std::string>& lines) {
  HeaderList list;
  for (const std::string& line : lines) {
    curl_slist* grown = curl().slist_append(list.get(), line.c_str());
    if (!grown) return std::nullopt;
    (void)list.release();  // grown heads the same list, now one line longer
    list.reset(grown);
  }
  return list;
}

void set_method_and_body(CURL* handle, const std::string& method, const std::string* body) {
  if (body) {
    set<CURLOPT_POSTFIELDS>(curl(), handle, body->c_str());
    set<CURLOPT_POSTFIELDSIZE_LARGE>(curl(), handle, static_cast<curl_off_t>(body->size()));
    if (method != "POST") set<CURLOPT_CUSTOMREQUEST>(curl(), handle, method.c_str());
  } else if (method == "GET") {
    set<CURLOPT_HTTPGET>(curl(), handle, 1L);
  } else {
    set<CURLOPT_CUSTOMREQUEST>(curl(), handle, method.c_str());
  }
}

// What a test may change about an exchange; see ClientHooks.
struct ExchangeSettings {
  const std::string& trusted_ca_file;
};

// Adds up the request bytes that libcurl wrote to the connection, redirected
// requests included: libcurl reports each write once done, whatever error
// follows, and neither the TLS handshake nor its own text counts.
// CURLINFO_REQUEST_SIZE takes only what the first write took, so a request
// that left on later writes would read as never sent; a count on the socket
// would take the handshake for the request.
int count_request_bytes(CURL*, curl_infotype type, char*, std::size_t size, void* target) {
  if (type == CURLINFO_HEADER_OUT || type == CURLINFO_DATA_OUT) *static_cast<std::size_t*>(target) += size;
  return 0;
}

// Verbose only once the counter is in place: without it libcurl would print
// its text on stderr.
bool counting_request_bytes(CURL* handle, std::size_t& written) {
  return set<CURLOPT_DEBUGFUNCTION>(curl(), handle, count_request_bytes) == CURLE_OK &&
         set<CURLOPT_DEBUGDATA>(curl(), handle, static_cast<void*>(&written)) == CURLE_OK &&
         set<CURLOPT_VERBOSE>(curl(), handle, 1L) == CURLE_OK;
}

// The exchange on a fresh libcurl connection, sharing TLS sessions through
// share when there is one.
HttpAnswer perform(const HttpExchange& request, CURLSH* share, const ExchangeSettings& settings) {
  std::vector<std::string> lines = request.headers;
  // libcurl would add "Expect: 100-continue" to larger bodies on its own.
  lines.emplace_back("Expect:");
  auto list = header_list(lines);
  Easy easy(curl().easy_init());
  if (!list || !easy) return std::unexpected(Unanswered::never_sent);

  CURL* handle = easy.get();
  std::size_t request_bytes = 0;
  if (!curl_library::secure(curl(), handle, client_http::redirect_protocols(request.url), settings.trusted_ca_file) ||
      !counting_request_bytes(handle, request_bytes)) {
    return std::unexpected(Unanswered::never_sent);
  }
  HttpReply reply;
  Collected body{reply.body, client_http::max_answer_bytes};
  set<CURLOPT_URL>(curl(), handle, request.url.c_str());
  // A write is sent once: libcurl would send it again to the new location
  // (a PATCH even without its body), so its redirect is its answer.
  set<CURLOPT_FOLLOWLOCATION>(curl(), handle, request.body ? 0L : 1L);
  set<CURLOPT_MAXREDIRS>(curl(), handle, max_redirects);
  set<CURLOPT_TIMEOUT_MS>(curl(), handle, static_cast<long>(request.timeout.count()));
  set<CURLOPT_CONNECTTIMEOUT_MS>(curl(), handle, connect_timeout_ms);
  set<CURLOPT_NOSIGNAL>(curl(), handle, 1L);
  set<CURLOPT_ACCEPT_ENCODING>(curl(), handle, "gzip");
  set<CURLOPT_HTTP_VERSION>(curl(), handle, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set<CURLOPT_FORBID_REUSE>(curl(), handle, 1L);
  set<CURLOPT_FRESH_CONNECT>(curl(), handle, 1L);
  if (share) set<CURLOPT_SHARE>(curl(), handle, share);
  set<CURLOPT_HTTPHEADER>(curl(), handle, list->get());
  set<CURLOPT_WRITEFUNCTION>(curl(), handle, collect);
  set<CURLOPT_WRITEDATA>(curl(), handle, &body);
  bool head_complete = false;
  set<CURLOPT_HEADERFUNCTION>(curl(), handle, note_head);
  set<CURLOPT_HEADERDATA>(curl(), handle, &head_complete);
  set_method_and_body(handle, request.method, request.body ? &*request.body : nullptr);

  const CURLcode outcome = curl().easy_perform(handle);
  if (body.failure) std::rethrow_exception(body.failure);
  curl().easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
  if (outcome == CURLE_OK) return reply;
  // A final status whose header block arrived before the failure is an
  // answer whose body could not be read (cut short, badly encoded, past the
  // deadline or the cap); a head cut short or a redirect that could not be
  // followed is no answer at all.
  const bool answered = head_complete && reply.status >= 200 && (reply.status < 300 || reply.status >= 400);
  // Whatever libcurl's error, a request of which no byte was written cannot
  // have reached the service; one byte may have.
  if (!answered) return std::unexpected(request_bytes == 0 ? Unanswered::never_sent : Unanswered::maybe_sent);
  reply.body_read = false;
  return reply;
}

// How much of the service's "message" an error text quotes: a sentence or
// a list of field errors is far shorter, and an error text must leave room
// for what the tool says after it.
constexpr std::size_t max_message_bytes = 4096;
constexpr std::string_view message_cut = "\u2026 (message cut)";

// At most max_message_bytes of text, ending on a whole UTF-8 character.
void cut_message(std::string& text) {
  if (text.size() <= max_message_bytes) return;
  std::size_t end = max_message_bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  text += message_cut;
}

// The service's "message": a string as it stands, or the strings of an array
// joined by "; ", cut to max_message_bytes.
std::optional<std::string> error_message(std::string_view body) {
  const auto value = json_text::parse(body, client_http::max_answer_values);
  if (!value || !value->is_object()) return std::nullopt;
  const auto member = value->find("message");
  if (member == value->end()) return std::nullopt;
  std::string joined;
  if (member->is_string()) {
    joined = member->get_ref<const std::string&>().substr(0, max_message_bytes + 1);
  } else if (member->is_array()) {
    bool first = true;
    for (const Json& part : *member) {
      if (joined.size() > max_message_bytes) break;
      if (!part.is_string()) continue;
      if (!first) joined += "; ";
      joined.append(part.get_ref<const std::string&>(), 0, max_message_bytes + 1);
      first = false;
    }
  } else {
    return std::nullopt;
  }
  cut_message(joined);
  return joined;
}

std::string budget_sentence() {
  return "the requests of one tool call may take " + std::to_string(client_http::call_budget.count()) +
         " seconds in all.";
}

// Only a call that wrote nothing, and whose tool adds no sentence of its
// own, may simply be made again.
std::string with_retry(std::string text, bool retry_safe) {
  if (retry_safe) text += " The call may simply be tried again.";
  return text;
}

// A request the call's budget left no time to start.
std::string not_sent(std::string_view method, std::string_view path, bool retry_safe) {
  return with_retry(
      "Veltrun API request " + std::string(method) + " " + std::string(path) + " was not sent: " + budget_sentence(),
      retry_safe);
}

// A request in flight that the call's budget ended.
std::string too_slow(std::string_view method, std::string_view path, bool retry_safe) {
  return with_retry(
      "Veltrun API answered too slowly for " + std::string(method) + " " + std::string(path) + ": " + budget_sentence(),
      retry_safe);
}

std::string status_head(long status, std::string_view method, std::string_view path) {
  return "Veltrun API returned HTTP " + std::to_string(status) + " for " + std::string(method) + " " +
         std::string(path);
}

std::string status_error(long status, std::string_view method, std::string_view path, std::string_view body) {
  const auto message = error_message(body);
  if (message && !unicode_text::blank(*message)) return status_head(status, method, path) + ": " + *message;
  return status_head(status, method, path) + ". No success or empty result can be inferred.";
}

std::string unreachable(std::string_view method, std::string_view path) {
  return "Veltrun API could not be reached for " + std::string(method) + " " + std::string(path) + ".";
}

// The outcome of every request, decided here once. A write (a request with a
// body) follows no redirect, so a redirect means it was not carried out where
// it was sent. A write's outcome is unknown after a redirect, a server error
// (a gateway's 504 included), an answer that cannot be read, or no answer
// once it may have left; a refusal (400 to 499) and a write that never left
// the machine are certain, and the latter safe to try again.
std::expected<Json, Client::Failure> judged(const HttpAnswer& answer, std::string_view method, std::string_view path,
                                            bool write) {
  using Failure = Client::Failure;
  if (!answer) {
    return std::unexpected(Failure{unreachable(method, path), write && answer.error() == Unanswered::maybe_sent});
  }
  const HttpReply& reply = *answer;
  const long status = reply.status;
  if (status == 204) return Json::object();
  if (write && status >= 300 && status < 400) {
    return std::unexpected(Failure{status_error(status, method, path, ""), true});
  }
  if (status < 400) {
    auto value = client_http::parsed_body(reply);
    if (!value) return std::unexpected(Failure{std::string(invalid_json), write});
    return std::move(*value);
  }
  if (status == 401) return std::unexpected(Failure{std::string(authentication_expired)});
  // Past 499 no status tells that nothing was done.
  return std::unexpected(Failure{status_error(status, method, path, client_http::readable_body(reply).value_or("")),
                                 write && status >= 500});
}

}  // namespace

namespace client_http {

std::string join(std::string_view base_url, std::string_view path) {
  const auto end = base_url.find_last_not_of('/');
  const std::string_view base = end == std::string_view::npos ? std::string_view{} : base_url.substr(0, end + 1);
  return std::string(base) + "/" + std::string(path);
}

std::string redirect_protocols(std::string_view url) {
  std::string scheme(url.substr(0, url.find(':')));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme == "https" ? "https" : "http,https";
}

}  // namespace client_http

// Only TLS sessions are shared between the per-request handles, so that a
// later handshake can resume; connections are never reused.
struct Client::Transport {
  CURLSH* share = nullptr;

  Transport() = default;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;
  ~Transport() {
    if (share) curl().share_cleanup(share);
  }

  CURLSH* tls_sessions() {
    if (!share) {
      share = curl().share_init();
      // libcurl reads this value as an int.
      if (share) curl().share_setopt(share, CURLSHOPT_SHARE, static_cast<int>(CURL_LOCK_DATA_SSL_SESSION));
    }
    return share;
  }
};

Client::Client(std::optional<std::filesystem::path> app_dir, std::string base_url, Hooks hooks)
    : app_dir_(std::move(app_dir)),
      base_url_(std::move(base_url)),
      hooks_(std::move(hooks)),
      transport_(std::make_unique<Transport>()) {}

Client::~Client() = default;

HttpAnswer Client::exchange(std::string_view method, std::string_view path, std::vector<std::string> headers,
                            const std::optional<Json>& body) const {
  HttpExchange request{.method = std::string(method),
                       .url = client_http::join(base_url_, path),
                       .headers = std::move(headers),
                       .body = body ? std::optional(json_text::compact(*body)) : std::nullopt};
  if (request.body) request.headers.emplace_back("Content-Type: application/json");
  request.timeout = hooks_.deadline;
  if (call_ends_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*call_ends_ - hooks_.now());
    if (left <= std::chrono::milliseconds::zero()) return std::unexpected(Unanswered::never_sent);
    request.timeout = std::min(request.timeout, left);
  }
  if (!std::all_of(request.headers.begin(), request.headers.end(), safe_header)) {
    return std::unexpected(Unanswered::never_sent);
  }
  if (hooks_.transport) return hooks_.transport(request);
  // Loaded, and globally initialised, at the first request: start-up itself
  // touches nothing of libcurl.
  if (!curl_library::get()) return std::unexpected(Unanswered::never_sent);
  return perform(request, transport_->tls_sessions(), {hooks_.trusted_ca_file});
}

std::expected<Json, Client::Failure> Client::send(std::string_view method, std::string_view path, bool docs,
                                                  const std::optional<Json>& body) const {
  auto credential = token(docs);
  if (!credential) return std::unexpected(Failure{credential.error()});
  std::vector<std::string> headers = {std::string(api_user_agent), "Accept: application/json",
                                      "Authorization: Bearer " + *credential};
  const bool write = body.has_value();
  const bool retry_safe = !write && !call_wrote_;
  if (call_spent()) return std::unexpected(Failure{not_sent(method, path, retry_safe)});
  const HttpAnswer answer = exchange(method, path, std::move(headers), body);
  // An answer cut off by the budget, or none: whatever the cut left says nothing.
  const bool cut_short = !answer || (!answer->body_read && answer->status < 400 && answer->status != 204);
  std::expected<Json, Failure> outcome;
  if (cut_short && call_spent()) {
    const bool outcome_unknown = write && (answer || answer.error() == Unanswered::maybe_sent);
    outcome = std::unexpected(Failure{too_slow(method, path, retry_safe), outcome_unknown});
  } else {
    outcome = judged(answer, method, path, write);
  }
  if (write && (outcome || outcome.error().outcome_unknown)) call_wrote_ = true;
  return outcome;
}

Client::CallBudget Client::budget_call() const {
  call_ends_ = hooks_.now() + client_http::call_budget;
  call_wrote_ = false;
  return CallBudget(*this);
}

bool Client::call_spent() const { return call_ends_ && hooks_.now() >= *call_ends_; }

Result<Json> Client::request(std::string_view method, std::string_view path, bool docs,
                             const std::optional<Json>& body) const {
  auto sent = send(method, path, docs, body);
  if (!sent) return std::unexpected(std::move(sent.error().text));
  return std::move(*sent);
}

Result<std::string> Client::token(bool docs) const {
  if (auth_.token) return *auth_.token;
  const auto text =
      app_dir_ ? file_text::read(*app_dir_ / (docs ? "docs-token.txt" : "board-token.txt"), max_credential_file_bytes)
               : std::nullopt;
  const std::string_view credential = text ? unicode_text::trim(*text) : std::string_view{};
  if (credential.empty()) return std::unexpected(std::string(token_unavailable));
  return std::string(credential);
}

Result<Json> Client::login(std::string_view action) const {
  const auto platform_launcher = [this](const std::string& url) {
    return login::open_browser(url, launchers_, hooks_.launcher_patience);
  };
  const login::Channel channel{
      .post = [this](std::string_view path, const Json& body) { return device_request(path, body); },
      .now = hooks_.now,
      .open_browser = hooks_.open_browser ? hooks_.open_browser : platform_launcher,
  };
  return login::act(auth_, action, channel);
}

Result<Json> Client::device_request(std::string_view path, const Json& body) const {
  HttpAnswer answer = exchange("POST", path, login::device_headers(), body);
  return login::device_answer(answer ? std::optional(std::move(*answer)) : std::nullopt);
}
