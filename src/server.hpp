#pragma once
// The JSON-RPC loop over newline-delimited standard input and output.
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "client.hpp"
#include "line_reader.hpp"
#include "session.hpp"
#include "team_core/json_text.hpp"

namespace server {

// One reply line (without its LF) in pieces, so that a reply spliced from
// texts printed before is never copied into one.
using ReplyPieces = std::span<const std::string_view>;

class ReplySink;

// A line written, or the text of why it could not be.
using Written = std::expected<void, std::string>;

// A callable that takes each reply line whole.
template <typename F>
concept LineTaker =
    !std::is_same_v<std::remove_cvref_t<F>, ReplySink> && std::is_invocable_r_v<Written, F&, std::string_view>;

// Takes one reply line; an error text means the line could not be written
// and ends the loop.
class ReplySink {
 public:
  explicit ReplySink(std::function<Written(ReplyPieces line)> write) : write_(std::move(write)) {}

  // A sink for whole lines, the pieces joined for it; implicit, so that a
  // lambda taking lines stands for a sink.
  template <LineTaker TakeLine>
  ReplySink(TakeLine take_line)
      : write_([take_line = std::move(take_line)](ReplyPieces line) mutable -> Written {
          if (line.size() == 1) return take_line(line.front());
          std::string whole;
          for (const std::string_view piece : line) whole += piece;
          return take_line(whole);
        }) {}

  Written operator()(std::string_view line) const { return write_(ReplyPieces(&line, 1)); }
  Written operator()(ReplyPieces line) const { return write_(line); }

 private:
  std::function<Written(ReplyPieces line)> write_;
};

// Writes each line and an LF to a file descriptor, waiting for room when it
// is non-blocking; the error is the system's text for the failed write.
ReplySink descriptor_sink(int fd);

// Prints the success reply for id and result through the sink.
Written respond(const ReplySink& out, const Json& id, Json result);

// The same reply for a result already printed compactly.
Written respond_printed(const ReplySink& out, const Json& id, std::string_view result);

// Carries out one parsed request and prints its reply, if it gets one.
Written answer(const Json& request, const ReplySink& out, Session& session, const Client& client);

// A request line longer than this (without its LF) is read past in pieces and
// dropped unparsed, as a line that does not parse is; never held whole, its
// bytes are not judged, so one that is not UTF-8 does not end the loop. The
// largest real request, an update_doc_page with a long page body, is a few
// hundred KB; 16 MiB holds a book-length body several times over.
inline constexpr std::size_t max_line_bytes = std::size_t{16} << 20;
// What one request may hold: a tool call has a few dozen values, a review
// with its findings a few hundred. Without a bound, a line of 16 MiB could
// parse into eight million values, near 1 GiB.
inline constexpr std::size_t max_request_values = 100'000;

// Answers the lines of in until it ends or a line is not UTF-8. The error is
// the text of a failed write; nothing more is read after it.
Written serve(const line_reader::ByteSource& in, const ReplySink& out, Session& session, const Client& client);

// The same for the lines of a stream, which keeps every line after the last
// one served.
Written serve(std::istream& in, const ReplySink& out, Session& session, const Client& client);

// "Library/Application Support/VeltrunTeam" under HOME; nothing when HOME is
// unset, empty or relative. A relative folder would lie in the working
// folder, an MCP server's being the agent's workspace, where a planted
// credential would be sent with every request.
std::optional<std::filesystem::path> app_dir(const std::optional<std::string>& home);

}  // namespace server
