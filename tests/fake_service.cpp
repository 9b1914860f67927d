#include "fake_service.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace fake {
namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string key(const std::string& method, const std::string& target) { return method + " " + target; }

}  // namespace

std::string Request::header(const std::string& name) const {
  auto it = headers.find(lowered(name));
  return it == headers.end() ? "" : it->second;
}

bool Request::has_header(const std::string& name) const { return headers.count(lowered(name)) > 0; }

Json Request::json() const {
  auto value = json_text::parse(body);
  return value ? *value : Json(Json::value_t::discarded);
}

Reply Reply::json(const Json& value, int status) {
  Reply reply;
  reply.status = status;
  reply.body = json_text::compact(value);
  return reply;
}

Reply Reply::raw(int status, std::string body, std::string content_type) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.content_type = std::move(content_type);
  return reply;
}

Reply Reply::empty(int status) { return raw(status, "", "text/plain"); }

Reply Reply::redirect(int status, std::string location) {
  Reply reply = empty(status);
  reply.headers.emplace_back("Location", std::move(location));
  return reply;
}

Service::Service() : Service(0) {}

Service::Service(int fixed_port) : server_(std::make_unique<httplib::Server>()) {
  // Tests run as parallel processes; those on the one fixed port take turns.
  if (fixed_port != 0) {
    port_lock_ = ::open(("/tmp/veltrun-loopback-" + std::to_string(fixed_port) + ".lock").c_str(),
                        O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (port_lock_ >= 0) ::flock(port_lock_, LOCK_EX);
  }
  server_->set_keep_alive_max_count(1);
  auto handle = [this](const httplib::Request& in, httplib::Response& out) {
    Request request;
    request.method = in.method;
    std::string target = in.target.empty() ? in.path : in.target;
    request.target = target.starts_with("/api/") ? target.substr(5) : target;
    for (const auto& [name, value] : in.headers) request.headers.emplace(lowered(name), value);
    request.body = in.body;
    Reply reply = answer(request);
    out.status = reply.status;
    for (const auto& [name, value] : reply.headers) out.set_header(name, value);
    if (!reply.body.empty()) out.set_content(reply.body, reply.content_type.c_str());
  };
  server_->Get(".*", handle);
  server_->Post(".*", handle);
  server_->Patch(".*", handle);
  server_->Put(".*", handle);
  server_->Delete(".*", handle);
  if (fixed_port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else if (server_->bind_to_port("127.0.0.1", fixed_port)) {
    port_ = fixed_port;
  }
  if (port_ <= 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Service::~Service() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
  if (port_lock_ >= 0) ::close(port_lock_);
}

std::string Service::origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string Service::base_url() const { return origin() + "/api"; }

void Service::on(const std::string& method, const std::string& target, Reply reply) {
  on(method, target, [reply](const Request&) { return reply; });
}

void Service::on(const std::string& method, const std::string& target, Handler handler) {
  std::lock_guard lock(mutex_);
  routes_[key(method, target)].push_back(std::move(handler));
}

void Service::on_absolute(const std::string& method, const std::string& path, Reply reply) {
  on(method, path, std::move(reply));
}

Reply Service::answer(const Request& request) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    auto it = routes_.find(key(request.method, request.target));
    if (it == routes_.end()) {
      return Reply::json(Json{{"message", "fake: no route for " + request.line()}}, 404);
    }
    std::size_t& served = served_[it->first];
    handler = it->second[std::min(served, it->second.size() - 1)];
    ++served;
  }
  return handler(request);
}

std::vector<Request> Service::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> Service::lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& request : requests_) out.push_back(request.line());
  return out;
}

std::vector<std::string> Service::exchanges() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& request : requests_) out.push_back(request.exchange());
  return out;
}

void Service::clear_requests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

Listener listen_on_loopback(int backlog) {
  Listener listener{::socket(AF_INET, SOCK_STREAM, 0), 0};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listener.socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener.socket, backlog);
  ::getsockname(listener.socket, reinterpret_cast<sockaddr*>(&address), &length);
  listener.port = ntohs(address.sin_port);
  return listener;
}

NeverAccepting::NeverAccepting() {
  const Listener listener = listen_on_loopback(0);
  listener_ = listener.socket;
  port_ = listener.port;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port_));
  for (int i = 0; i < 3; ++i) {
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers_.push_back(filler);
  }
  // With a backlog of 0 one connection waiting to be accepted fills the
  // queue; the listener turns readable then.
  pollfd queued = {listener_, POLLIN, 0};
  ::poll(&queued, 1, 5000);
}

NeverAccepting::~NeverAccepting() {
  for (int filler : fillers_) ::close(filler);
  ::close(listener_);
}

std::string NeverAccepting::base_url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api"; }

RawService::RawService(std::string response)
    : RawService([response = std::move(response)](int connection, const std::string&) {
        ::send(connection, response.data(), response.size(), MSG_NOSIGNAL);
        ::shutdown(connection, SHUT_WR);
      }) {}

RawService::RawService(RawHandler handler) : handler_(std::move(handler)) {
  const Listener listener = listen_on_loopback(8);
  listener_ = listener.socket;
  port_ = listener.port;
  thread_ = std::thread([this] {
    while (!stopping_) {
      pollfd wanted = {listener_, POLLIN, 0};
      if (::poll(&wanted, 1, 20) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      serve_one(connection);
      ::close(connection);
    }
  });
}

RawService::~RawService() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

std::string RawService::base_url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api"; }

void RawService::serve_one(int connection) {
  // Read the request head and any body it announces, then answer.
  std::string request;
  char buffer[4096];
  std::size_t needed = std::string::npos;
  while (request.size() < needed) {
    const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    request.append(buffer, static_cast<std::size_t>(got));
    const std::size_t head_end = request.find("\r\n\r\n");
    if (needed == std::string::npos && head_end != std::string::npos) {
      const std::string head = lowered(request.substr(0, head_end));
      const std::size_t at = head.find("content-length:");
      const std::size_t body = at == std::string::npos ? 0 : std::stoul(head.substr(at + 15));
      needed = head_end + 4 + body;
    }
  }
  ++requests_;
  handler_(connection, request);
}

}  // namespace fake
