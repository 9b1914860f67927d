#include "server.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
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

bool known(std::string_view method) {
  return method == "ping" || method == "initialize" || method == "tools/list" || method == "tools/call";
}

// What reading one line brought.
enum class LineRead { line, too_long, end };

// How much of a line one read takes; a longer line grows by such pieces.
constexpr std::size_t line_piece_bytes = std::size_t{64} << 10;

// One line of in without its LF, read in pieces so that a line past
// max_line_bytes is never held whole: the rest of it is skipped unread.
// std::getline into a string would hold the whole line, whatever its length.
LineRead next_line(std::istream& in, std::string& line) {
  line.clear();
  while (true) {
    const std::size_t start = line.size();
    bool found_lf = false;
    // istream::getline stores at most piece bytes and a NUL after them; it
    // fails without end of input only when the piece filled up before an LF.
    line.resize_and_overwrite(start + line_piece_bytes + 1, [&](char* data, std::size_t) {
      in.getline(data + start, static_cast<std::streamsize>(line_piece_bytes + 1));
      found_lf = !in.fail() && !in.eof();
      return start + static_cast<std::size_t>(in.gcount()) - (found_lf ? 1 : 0);
    });
    const bool piece_full = in.fail() && !in.eof() && !in.bad();
    if (line.size() > max_line_bytes) {
      if (piece_full) {
        in.clear();
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
      }
      return LineRead::too_long;
    }
    if (found_lf) return LineRead::line;
    if (piece_full) {
      in.clear();
      continue;
    }
    // End of input or a read error: a last line without LF is still taken.
    if (in.bad() || line.empty()) return LineRead::end;
    in.clear(std::ios::eofbit);
    return LineRead::line;
  }
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
    const LineRead read = next_line(in, line);
    if (read == LineRead::end) break;
    if (read == LineRead::too_long) continue;
    if (!unicode_text::valid_utf8(line)) break;
    std::optional<Json> request = json_text::parse(without_cr(line), max_request_values);
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
  if (name == "ping") return respond(out, *id, Json::object());
  if (name == "initialize") return respond(out, *id, initialize_result(request));
  return out(answered_call(request, *id, session, client));
}

std::optional<std::filesystem::path> app_dir(const std::optional<std::string>& home) {
  if (!home || !std::filesystem::path(*home).is_absolute()) return std::nullopt;
  return std::filesystem::path(*home) / "Library/Application Support/VeltrunTeam";
}

}  // namespace server
