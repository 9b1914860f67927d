#include "server.hpp"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>

#include "context.hpp"
#include "dispatch.hpp"
#include "initialize.hpp"
#include "tool_table.hpp"
#include "unicode_text.hpp"

namespace server {
namespace {

using context::member;

const Json* param(const Json& request, std::string_view key) {
  const Json* params = member(request, "params");
  return params ? member(*params, key) : nullptr;
}

Json tool_result(ToolText outcome) {
  std::string& text = outcome ? *outcome : outcome.error();
  return Json{{"content", Json::array({Json{{"text", std::move(text)}, {"type", "text"}}})}, {"isError", !outcome}};
}

std::string tool_name(const Json& request) {
  const Json* name = param(request, "name");
  return name && name->is_string() ? name->get<std::string>() : std::string();
}

ToolOutcome call(const Json& request, const std::string& tool, Session& session, const Client& client) {
  const Json* arguments = param(request, "arguments");
  return call_tool(session, client, tool, arguments ? *arguments : Json::object());
}

// The narrower call that the named tool offers, "" when it has none.
std::string_view narrower(std::string_view tool) {
  const auto row = tool_table::row(tool);
  return row ? (*row)->narrower : std::string_view{};
}

Json success(const Json& id, Json result) {
  return Json{{"id", id}, {"jsonrpc", "2.0"}, {"result", std::move(result)}};
}

Json method_not_found(const Json& id) {
  return Json{{"error", Json{{"code", -32601}, {"message", "Method not found"}}}, {"id", id}, {"jsonrpc", "2.0"}};
}

std::string error_reply(const Json& id, std::string text) {
  return json_text::compact(success(id, tool_result(std::unexpected(std::move(text)))));
}

// The reply line of a tool call, bounded here once, as printed: escaping
// and the frame count. A text that does not fit gives way to the bound's
// sentence, which still says what the call wrote.
std::string tool_reply(const Json& id, std::string_view tool, ToolOutcome outcome) {
  const std::string written = std::move(outcome.written);
  if (!outcome.too_large) {
    auto line = json_text::compact(success(id, tool_result(std::move(outcome))), max_reply_bytes);
    if (line) return std::move(*line);
  }
  return error_reply(id, reply_too_large(narrower(tool), written));
}

// No exception leaves a tool call: running out of memory ends the call
// alone; whatever it had built is gone, the session and the sign-in are not.
std::string answered_call(const Json& request, const Json& id, Session& session, const Client& client) {
  const std::string tool = tool_name(request);
  try {
    return tool_reply(id, tool, call(request, tool, session, client));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return error_reply(id, out_of_memory(narrower(tool)));
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

// What is left of pieces once written bytes of them went out.
std::span<iovec> past(std::span<iovec> pieces, std::size_t written) {
  while (!pieces.empty() && written >= pieces.front().iov_len) {
    written -= pieces.front().iov_len;
    pieces = pieces.subspan(1);
  }
  if (!pieces.empty()) {
    pieces.front().iov_base = static_cast<char*>(pieces.front().iov_base) + written;
    pieces.front().iov_len -= written;
  }
  return pieces;
}

// A reply has at most five pieces: with its LF, one call writes it all.
constexpr std::size_t pieces_per_write = 8;

// Writes every byte the pieces hold, however many calls it takes.
Written write_all(int fd, std::span<iovec> rest) {
  while (!rest.empty()) {
    const ssize_t written = ::writev(fd, rest.data(), static_cast<int>(rest.size()));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && writable(fd)) continue;
    if (written < 0) return std::unexpected(std::strerror(errno));
    rest = past(rest, static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace

ReplySink descriptor_sink(int fd) {
  return ReplySink([fd](ReplyPieces line) -> Written {
    // The pieces and the LF go out as they are, never copied into one line:
    // a tool call's reply may be 64 MiB.
    static constexpr char line_feed = '\n';
    std::array<iovec, pieces_per_write> batch{};
    std::size_t count = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
      batch[count++] = i < line.size() ? iovec{const_cast<char*>(line[i].data()), line[i].size()}
                                       : iovec{const_cast<char*>(&line_feed), 1};
      if (count < batch.size() && i < line.size()) continue;
      if (auto written = write_all(fd, std::span(batch.data(), count)); !written) return written;
      count = 0;
    }
    return {};
  });
}

Written respond(const ReplySink& out, const Json& id, Json result) {
  return out(json_text::compact(success(id, std::move(result))));
}

Written respond_printed(const ReplySink& out, const Json& id, std::string_view result) {
  // What compact prints for success(id, result): keys in byte order, no spaces.
  constexpr std::string_view opening = "{\"id\":";
  constexpr std::string_view middle = ",\"jsonrpc\":\"2.0\",\"result\":";
  const std::string printed_id = json_text::compact(id);
  const std::array<std::string_view, 5> line = {opening, printed_id, middle, result, "}"};
  return out(line);
}

namespace {

// One request on its way to its reply.
struct Asked {
  const Json& request;
  const Json& id;
  const ReplySink& out;
  Session& session;
  const Client& client;
};

// The four methods, each written once: any other gets "Method not found".
struct Method {
  std::string_view name;
  Written (*answer)(const Asked& asked);
};

constexpr std::array<Method, 4> methods = {{
    {"ping", [](const Asked& a) { return respond(a.out, a.id, Json::object()); }},
    {"initialize", [](const Asked& a) { return respond(a.out, a.id, initialize_result(a.request)); }},
    {"tools/list", [](const Asked& a) { return respond_printed(a.out, a.id, printed_tools_result()); }},
    {"tools/call", [](const Asked& a) { return a.out(answered_call(a.request, a.id, a.session, a.client)); }},
}};

}  // namespace

Written serve(const line_reader::ByteSource& in, const ReplySink& out, Session& session, const Client& client) {
  line_reader::LineReader lines(in, max_line_bytes);
  while (true) {
    // A launcher left running at a sign-in start is reaped once it has
    // ended, without waiting for the next sign-in.
    client.reap_launchers();
    const auto line = lines.next();
    if (!line && line.error() == line_reader::NoLine::end) break;
    if (!line) continue;
    if (!unicode_text::valid_utf8(*line)) break;
    std::optional<Json> request = json_text::parse(without_cr(*line), max_request_values);
    if (!request) continue;
    if (auto written = answer(*request, out, session, client); !written) return written;
  }
  return {};
}

Written serve(std::istream& in, const ReplySink& out, Session& session, const Client& client) {
  return serve(line_reader::stream_source(in), out, session, client);
}

Written answer(const Json& request, const ReplySink& out, Session& session, const Client& client) {
  const Json* id = member(request, "id");
  if (!id || id->is_null()) return {};
  const Json* method = member(request, "method");
  const std::string_view name =
      method && method->is_string() ? std::string_view(method->get_ref<const std::string&>()) : std::string_view();
  for (const Method& known : methods) {
    if (known.name == name) return known.answer(Asked{request, *id, out, session, client});
  }
  return out(json_text::compact(method_not_found(*id)));
}

std::optional<std::filesystem::path> app_dir(const std::optional<std::string>& home) {
  if (!home || !std::filesystem::path(*home).is_absolute()) return std::nullopt;
  return std::filesystem::path(*home) / "Library/Application Support/VeltrunTeam";
}

}  // namespace server
