// The HTTPS path end to end: the real Client, libcurl and TLS against a
// loopback server holding throwaway certificates (tests/tls/README).
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client.hpp"
#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

constexpr const char* unreachable = "Veltrun API could not be reached for GET board/projects.";

std::string tls_file(const std::string& name) { return std::string(VELTRUN_TEST_SOURCE_DIR) + "/tls/" + name; }

std::string text_of(const Result<Json>& result) {
  return result ? "value " + json_text::compact(*result) : "error " + result.error();
}

// What the server saw of one TCP connection.
struct Connection {
  bool handshake_done = false;
  int protocol = 0;  // SSL_version, once the handshake is done
  bool resumed = false;
  std::size_t bytes_received = 0;  // of application data
  std::string request_line;        // "" when no HTTP request arrived
  std::string authorization;       // the Authorization header's value, "" when none
};

struct Answer {
  int status = 200;
  std::string body = {};
  std::string location = {};
};

// Answers one request target ("/api/board/projects") on the server at origin.
using Responder = std::function<Answer(const std::string& target, const std::string& origin)>;

// An HTTPS server on 127.0.0.1: one request per connection, connections one
// after another, each recorded.
class TlsService {
 public:
  // max_protocol 0 leaves every version OpenSSL offers.
  TlsService(const std::string& certificate, Responder responder, int max_protocol = 0)
      : responder_(std::move(responder)), context_(SSL_CTX_new(TLS_server_method())) {
    const bool ready =
        context_ && SSL_CTX_use_certificate_chain_file(context_, tls_file(certificate + ".pem").c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context_, tls_file(certificate + ".key").c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(context_) == 1 &&
        (max_protocol == 0 || SSL_CTX_set_max_proto_version(context_, max_protocol) == 1);
    EXPECT_TRUE(ready) << "server certificate " << certificate;
    // The server-side cache that resumes TLS 1.2 sessions (TLS 1.3 resumes by ticket).
    static constexpr unsigned char id_context[] = "client-tls-test";
    SSL_CTX_set_session_id_context(context_, id_context, sizeof id_context - 1);
    SSL_CTX_set_session_cache_mode(context_, SSL_SESS_CACHE_SERVER);
    const fake::Listener listener = fake::listen_on_loopback(8);
    listener_ = listener.socket;
    port_ = listener.port;
    EXPECT_EQ(::pipe(wake_), 0);
    thread_ = std::thread([this] { run(); });
  }

  ~TlsService() {
    stop();
    ::close(listener_);
    SSL_CTX_free(context_);
  }
  TlsService(const TlsService&) = delete;
  TlsService& operator=(const TlsService&) = delete;

  std::string origin() const { return "https://127.0.0.1:" + std::to_string(port_); }
  std::string base_url() const { return origin() + "/api"; }

  // Serves what is already waiting, stops, and tells every connection seen:
  // a connection the client made has been served whole by then.
  std::vector<Connection> finish() {
    stop();
    return connections_;
  }

 private:
  void stop() {
    if (!thread_.joinable()) return;
    const char byte = 0;
    EXPECT_EQ(::write(wake_[1], &byte, 1), 1);
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  void run() {
    // A client that hung up must not end the test process on a write.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    bool stopping = false;
    while (true) {
      pollfd wanted[] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      // Once stopping, only the connections already queued are served.
      if (::poll(wanted, stopping ? 1 : 2, stopping ? 0 : -1) <= 0) {
        if (stopping) break;
        continue;
      }
      if (wanted[0].revents & POLLIN) {
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection >= 0) {
          connections_.push_back(serve(connection));
          ::close(connection);
        }
      } else if (wanted[1].revents & POLLIN) {
        stopping = true;
      }
    }
  }

  Connection serve(int socket) {
    // A safety net against a client that stops talking; no test relies on it.
    const timeval limit{10, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    Connection seen;
    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, socket);
    if (SSL_accept(ssl) == 1) {
      seen.handshake_done = true;
      seen.protocol = SSL_version(ssl);
      seen.resumed = SSL_session_reused(ssl) == 1;
      exchange(ssl, seen);
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ERR_clear_error();
    return seen;
  }

  void exchange(SSL* ssl, Connection& seen) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      const int got = SSL_read(ssl, buffer, sizeof buffer);
      if (got <= 0) return;
      head.append(buffer, static_cast<std::size_t>(got));
      seen.bytes_received = head.size();
    }
    seen.request_line = head.substr(0, head.find("\r\n"));
    for (std::size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
      const std::size_t end = head.find("\r\n", at + 2);
      const std::string line = head.substr(at + 2, end - at - 2);
      if (line.size() > 15 && ::strncasecmp(line.c_str(), "authorization: ", 15) == 0)
        seen.authorization = line.substr(15);
      at = end;
    }
    const std::size_t target_start = seen.request_line.find(' ') + 1;
    const Answer answer =
        responder_(seen.request_line.substr(target_start, seen.request_line.rfind(' ') - target_start), origin());
    std::string response =
        "HTTP/1.1 " + std::to_string(answer.status) + (answer.status == 200 ? " OK" : " Found") +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(answer.body.size()) +
        "\r\nConnection: close\r\n";
    if (!answer.location.empty()) response += "Location: " + answer.location + "\r\n";
    response += "\r\n" + answer.body;
    SSL_write(ssl, response.data(), static_cast<int>(response.size()));
  }

  Responder responder_;
  SSL_CTX* context_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  // Written by the server's thread only, read after it has ended.
  std::vector<Connection> connections_;
};

const Json projects = {{"values", Json::array({{{"id", "P1"}, {"name", "Apollo"}}})}};

Responder serving(const Json& value) {
  return [body = json_text::compact(value)](const std::string&, const std::string&) { return Answer{.body = body}; };
}

class ClientTls : public testing::Test {
 protected:
  ClientTls() { dir.write("board-token.txt", "board-secret"); }

  Client trusting_test_ca(const TlsService& service) const {
    return Client{dir.path(), service.base_url(), ClientHooks{.trusted_ca_file = tls_file("ca.pem")}};
  }

  TempDir dir;
};

// OpenSSL's own latest, and the client's minimum.
struct ProtocolCase {
  const char* name;
  int max_protocol;  // the server's cap, 0 for none
  int negotiated;
};
const ProtocolCase protocol_cases[] = {
    {"TLS 1.3", 0, TLS1_3_VERSION},
    {"TLS 1.2", TLS1_2_VERSION, TLS1_2_VERSION},
};

TEST_F(ClientTls, AnswersOverAVerifiedConnectionWithTheCredential) {
  for (const ProtocolCase& protocol : protocol_cases) {
    SCOPED_TRACE(protocol.name);
    TlsService service("server", serving(projects), protocol.max_protocol);
    const Client client = trusting_test_ca(service);

    const auto result = client.request("GET", "board/projects", false);

    ASSERT_TRUE(result) << text_of(result);
    EXPECT_EQ(*result, projects);
    const auto seen = service.finish();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].handshake_done);
    EXPECT_EQ(seen[0].protocol, protocol.negotiated);
    EXPECT_EQ(seen[0].request_line, "GET /api/board/projects HTTP/1.1");
    EXPECT_EQ(seen[0].authorization, "Bearer board-secret");
  }
}

TEST_F(ClientTls, SecondRequestResumesTheFirstsSessionOnAFreshConnection) {
  for (const ProtocolCase& protocol : protocol_cases) {
    SCOPED_TRACE(protocol.name);
    TlsService service("server", serving(projects), protocol.max_protocol);
    const Client client = trusting_test_ca(service);

    const auto first = client.request("GET", "board/projects", false);
    const auto second = client.request("GET", "board/projects", false);

    EXPECT_TRUE(first) << text_of(first);
    EXPECT_TRUE(second) << text_of(second);
    const auto seen = service.finish();
    ASSERT_EQ(seen.size(), 2u) << "each request on its own connection";
    EXPECT_TRUE(seen[0].handshake_done && seen[1].handshake_done);
    EXPECT_FALSE(seen[0].resumed);
    EXPECT_TRUE(seen[1].resumed);
  }
}

TEST_F(ClientTls, SessionsAreNotSharedBetweenClients) {
  TlsService service("server", serving(projects));
  const Client first = trusting_test_ca(service);
  const Client second = trusting_test_ca(service);

  EXPECT_TRUE(first.request("GET", "board/projects", false));
  EXPECT_TRUE(second.request("GET", "board/projects", false));

  const auto seen = service.finish();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[0].resumed);
  EXPECT_FALSE(seen[1].resumed);
}

// The client gives up before any byte of the request, so no credential leaves.
// (It checks the host name once the handshake is over: the server may see a
// complete handshake, but never a byte after it.)
TEST_F(ClientTls, RefusesACertificateItCannotVerifyBeforeSendingTheRequest) {
  struct Case {
    const char* name;
    const char* certificate;
    bool trust_test_ca;
  };
  const Case cases[] = {
      {"self-signed, not by the trusted CA", "untrusted", true},
      {"by the trusted CA for another name", "other-name", true},
      // The system's store, which production trusts, knows nothing of the test CA.
      {"by the test CA, without the test CA trusted", "server", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsService service(c.certificate, serving(projects));
    const Client client{dir.path(), service.base_url(),
                        c.trust_test_ca ? ClientHooks{.trusted_ca_file = tls_file("ca.pem")} : ClientHooks{}};

    const auto result = client.request("GET", "board/projects", false);

    EXPECT_EQ(text_of(result), std::string("error ") + unreachable);
    const auto seen = service.finish();
    ASSERT_EQ(seen.size(), 1u) << "the client connected";
    EXPECT_EQ(seen[0].bytes_received, 0u);
    EXPECT_EQ(seen[0].request_line, "");
    EXPECT_EQ(seen[0].authorization, "");
  }
}

// A write stopped by the handshake never left: unlike one whose answer was
// lost, it may be tried again. One that got past the handshake may have been
// carried out, even when its answer is a status libcurl refuses.
TEST_F(ClientTls, WriteIsInDoubtOnlyOnceItGotPastTheHandshake) {
  struct Case {
    const char* name;
    const char* certificate;
    int max_protocol;
    bool unknown;
  };
  const Case cases[] = {
      {"self-signed, not by the trusted CA", "untrusted", 0, false},
      {"by the trusted CA for another name", "other-name", 0, false},
      {"a server without TLS 1.2", "server", TLS1_1_VERSION, false},
      {"read, then answered with status 199", "server", 0, true},
  };
  const Responder odd_status = [](const std::string&, const std::string&) { return Answer{.status = 199, .body = "{}"}; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsService service(c.certificate, odd_status, c.max_protocol);
    const Client client = trusting_test_ca(service);

    const auto sent = client.send("POST", "board/projects", false, Json{{"name", "Apollo"}});

    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().text, "Veltrun API could not be reached for POST board/projects.");
    EXPECT_EQ(sent.error().outcome_unknown, c.unknown);
    const auto seen = service.finish();
    ASSERT_EQ(seen.size(), 1u) << "the client connected";
    EXPECT_EQ(seen[0].request_line, c.unknown ? "POST /api/board/projects HTTP/1.1" : "");
    if (!c.unknown) {
      EXPECT_EQ(seen[0].bytes_received, 0u);
    }
  }
}

TEST_F(ClientTls, FollowsARedirectOnlyToHttps) {
  const Json landed = {{"landed", true}};
  fake::Service plain;
  plain.on_absolute("GET", "/api/landed", fake::Reply::json(landed));
  struct Case {
    const char* name;
    bool to_plain_http;
  };
  for (const Case c : {Case{"down to http", true}, Case{"to https", false}}) {
    SCOPED_TRACE(c.name);
    TlsService service("server", [&](const std::string& target, const std::string& origin) {
      if (target == "/api/landed") return Answer{.body = json_text::compact(landed)};
      return Answer{.status = 302, .location = (c.to_plain_http ? plain.origin() : origin) + "/api/landed"};
    });
    const Client client = trusting_test_ca(service);

    const auto result = client.request("GET", "board/projects", false);

    const auto seen = service.finish();
    std::vector<std::string> lines;
    for (const Connection& connection : seen) lines.push_back(connection.request_line);
    if (c.to_plain_http) {
      EXPECT_EQ(text_of(result), std::string("error ") + unreachable);
      EXPECT_EQ(lines, std::vector<std::string>{"GET /api/board/projects HTTP/1.1"});
    } else {
      EXPECT_EQ(text_of(result), "value " + json_text::compact(landed));
      EXPECT_EQ(lines, (std::vector<std::string>{"GET /api/board/projects HTTP/1.1", "GET /api/landed HTTP/1.1"}));
    }
  }
  EXPECT_TRUE(plain.requests().empty()) << "the plain listener was reached";
}

}  // namespace
