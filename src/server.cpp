#include "server.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "catalogue.hpp"
#include "context.hpp"
#include "dispatch.hpp"
#include "initialize.hpp"
#include "login.hpp"
#include "unicode_text.hpp"

namespace server {
namespace {

using context::member;

const Json* param(const Json& request, std::string_view key) {
  const Json* params = member(request, "params");
  return params ? member(*params, key) : nullptr;
}

Json tool_result(const ToolOutcome& outcome) {
  const std::string& text = outcome ? *outcome : outcome.error();
  return Json{{"content", Json::array({Json{{"text", text}, {"type", "text"}}})}, {"isError", !outcome}};
}

Json call(const Json& request, Session& session, const Client& client) {
  const Json* name = param(request, "name");
  const Json* arguments = param(request, "arguments");
  const std::string tool = name && name->is_string() ? name->get<std::string>() : std::string();
  return tool_result(call_tool(session, client, tool, arguments ? *arguments : Json::object()));
}

Json success(const Json& id, Json result) {
  return Json{{"id", id}, {"jsonrpc", "2.0"}, {"result", std::move(result)}};
}

Json method_not_found(const Json& id) {
  return Json{{"error", Json{{"code", -32601}, {"message", "Method not found"}}}, {"id", id}, {"jsonrpc", "2.0"}};
}

Json method_result(std::string_view method, const Json& request, Session& session, const Client& client) {
  if (method == "ping") return Json::object();
  if (method == "initialize") return initialize_result(request);
  return call(request, session, client);
}

bool known(std::string_view method) {
  return method == "ping" || method == "initialize" || method == "tools/list" || method == "tools/call";
}

// The line without one CR before its (already removed) LF.
std::string_view without_cr(std::string_view line) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// A host may hand over a non-blocking output; wait for room instead of failing.
bool writable(int fd) {
  pollfd wanted = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&wanted, 1, -1);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

ReplySink descriptor_sink(int fd) {
  return [fd](std::string_view line) -> std::expected<void, std::string> {
    std::string text(line);
    text += '\n';
    std::string_view rest = text;
    while (!rest.empty()) {
      ssize_t written = ::write(fd, rest.data(), rest.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && writable(fd)) continue;
      if (written < 0) return std::unexpected(std::strerror(errno));
      rest.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
  };
}

std::expected<void, std::string> respond(const ReplySink& out, const Json& id, Json result) {
  return out(json_text::compact(success(id, std::move(result))));
}

std::expected<void, std::string> respond_printed(const ReplySink& out, const Json& id, std::string_view result) {
  // What compact prints for success(id, result): keys in byte order, no spaces.
  std::string line = "{\"id\":";
  line += json_text::compact(id);
  line += ",\"jsonrpc\":\"2.0\",\"result\":";
  line += result;
  line += '}';
  return out(line);
}

std::expected<void, std::string> serve(std::istream& in, const ReplySink& out, Session& session, const Client& client) {
  std::string line;
  while (true) {
    // A launcher left running at a sign-in start is reaped once it has
    // ended, without waiting for the next sign-in.
    client.reap_launchers();
    if (!std::getline(in, line)) break;
    if (!unicode_text::valid_utf8(line)) break;
    std::optional<Json> request = json_text::parse(without_cr(line));
    if (!request) continue;
    if (auto written = answer(*request, out, session, client); !written) return written;
  }
  return {};
}

std::expected<void, std::string> answer(const Json& request, const ReplySink& out, Session& session,
                                        const Client& client) {
  const Json* id = member(request, "id");
  if (!id || id->is_null()) return {};
  const Json* method = member(request, "method");
  const std::string name = method && method->is_string() ? method->get<std::string>() : std::string();
  if (!known(name)) return out(json_text::compact(method_not_found(*id)));
  if (name == "tools/list") return respond_printed(out, *id, printed_tools_result());
  return respond(out, *id, method_result(name, request, session, client));
}

std::filesystem::path app_dir(const std::optional<std::string>& home) {
  return std::filesystem::path(home.value_or("")) / "Library/Application Support/VeltrunTeam";
}

}  // namespace server
