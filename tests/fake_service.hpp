#pragma once
// An in-process fake of the service on 127.0.0.1: per-test routes and a
// record of every request it received.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "team_core/json_text.hpp"

namespace httplib {
class Server;
}

namespace fake {

struct Request {
  std::string method;
  std::string target;                               // relative to the API base, query included: "board/projects?x=1"
  std::multimap<std::string, std::string> headers;  // names lower-cased
  std::string body;

  // The value of a header, "" when it was not sent.
  std::string header(const std::string& name) const;
  bool has_header(const std::string& name) const;
  Json json() const;  // the body as JSON (discarded value when it is not)
  std::string line() const { return method + " " + target; }
  // "METHOD target body", the body as received; no body, no blank.
  std::string exchange() const { return body.empty() ? line() : line() + " " + body; }
};

struct Reply {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;

  static Reply json(const Json& value, int status = 200);
  static Reply raw(int status, std::string body, std::string content_type = "text/plain");
  static Reply empty(int status);
  static Reply redirect(int status, std::string location);
};

using Handler = std::function<Reply(const Request&)>;

class Service {
 public:
  Service();
  // On a fixed port, for binaries built with the fake's base URL; port() is
  // 0 when the port could not be bound.
  explicit Service(int fixed_port);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  int port() const { return port_; }
  std::string origin() const;    // "http://127.0.0.1:PORT"
  std::string base_url() const;  // origin() + "/api"

  // Answers METHOD TARGET (target relative to "/api/", query included, matched
  // exactly). Replies queue up per route; the last one repeats.
  void on(const std::string& method, const std::string& target, Reply reply);
  void on(const std::string& method, const std::string& target, Handler handler);
  // Routes outside "/api/", for redirects: the path is absolute.
  void on_absolute(const std::string& method, const std::string& path, Reply reply);

  std::vector<Request> requests() const;
  std::vector<std::string> lines() const;      // "METHOD target" of every request, in order
  std::vector<std::string> exchanges() const;  // Request::exchange() of every request, in order
  void clear_requests();

 private:
  Reply answer(const Request& request);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  int port_lock_ = -1;  // held while a fixed port is in use
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Handler>> routes_;
  std::map<std::string, std::size_t> served_;
  std::vector<Request> requests_;
};

// Given the bytes of one request (head and announced body) and its socket,
// answers however it likes; the socket is closed afterwards.
using RawHandler = std::function<void(int connection, const std::string& request)>;

// A TCP listener on 127.0.0.1 and an ephemeral port, with this backlog.
struct Listener {
  int socket = -1;
  int port = 0;
};
Listener listen_on_loopback(int backlog);

// A loopback listener whose accept queue is full and never drained: new
// connections get no answer to their handshake at all.
class NeverAccepting {
 public:
  NeverAccepting();
  ~NeverAccepting();
  NeverAccepting(const NeverAccepting&) = delete;
  NeverAccepting& operator=(const NeverAccepting&) = delete;

  std::string base_url() const;  // "http://127.0.0.1:PORT/api"

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// Answers every connection with the same raw bytes and closes it: for the
// broken answers (bodies cut short, bad encodings) a real HTTP server never sends.
class RawService {
 public:
  explicit RawService(std::string response);
  // Connections one after another, each answered by handler.
  explicit RawService(RawHandler handler);
  ~RawService();
  RawService(const RawService&) = delete;
  RawService& operator=(const RawService&) = delete;

  std::string base_url() const;               // "http://127.0.0.1:PORT/api"
  int requests() const { return requests_; }  // requests read whole so far

 private:
  void serve_one(int connection);

  RawHandler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> requests_{0};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace fake
