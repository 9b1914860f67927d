// What one answer and one paged list may hold: past a cap the request ends
// with its sentence instead of the memory running out.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client.hpp"
#include "failing_allocation.hpp"
#include "fake_service.hpp"
#include "hostile_answers.hpp"
#include "temp_dir.hpp"

namespace {

using client_http::max_answer_bytes;
using client_http::max_answer_values;

constexpr const char* invalid_json = "Veltrun API returned invalid JSON.";

std::string text_of(const Result<Json>& result) {
  return result ? "value " + json_text::compact(*result) : "error " + result.error();
}

std::string head(int status, const std::string& extra) {
  return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: application/json\r\n" + extra + "\r\n";
}

struct CapCase {
  const char* name;
  std::string response;
  std::string expected;
};

// Memory that runs out while a body arrives is not an answer that could not
// be read: it leaves the client once libcurl has let go, for the call's
// guard to answer, and the next request is served as usual.
TEST(ClientLimits, MemoryThatRunsOutWhileTheBodyArrivesLeavesTheClient) {
  const std::string value(std::size_t{4} << 20, 'x');
  const std::string body = "\"" + value + "\"";
  fake::RawService service(head(200, "Content-Length: " + std::to_string(body.size()) + "\r\n") + body);
  TempDir dir;
  dir.write("board-token.txt", "board-secret");
  const Client client{dir.path(), service.base_url()};
  {
    // The body's string grows past this long before the body ends.
    const failing_allocation::AtLeast out_of_memory(std::size_t{1} << 20);
    EXPECT_THROW((void)client.request("GET", "board/projects", false), std::bad_alloc);
  }
  const auto next = client.request("GET", "board/projects", false);
  ASSERT_TRUE(next) << next.error();
  EXPECT_TRUE(*next == value);
}

// Over libcurl: decoded bytes past the cap end the transfer, and the answer
// is judged by its status as one whose body could not be read.
TEST(ClientLimits, DecodedBodyPastTheCapIsNotRead) {
  // 64 KB of gzip that expand to one byte more than an answer may hold.
  const std::string bomb = hostile::gzip_bomb(max_answer_bytes + 1);
  ASSERT_LT(bomb.size(), std::size_t{1} << 20);
  auto gzipped = [](int status, const std::string& body) {
    return head(status, "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") + body;
  };
  const std::vector<CapCase> cases = {
      {"at the cap", gzipped(200, hostile::gzip_bomb(max_answer_bytes)), "value 0"},
      {"one byte past the cap", gzipped(200, bomb), std::string("error ") + invalid_json},
      {"one byte past the cap in an error body", gzipped(500, bomb),
       "error Veltrun API returned HTTP 500 for GET board/projects. No success or empty result can be inferred."},
  };
  TempDir dir;
  dir.write("board-token.txt", "board-secret");
  for (const CapCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake::RawService service(c.response);
    Client client{dir.path(), service.base_url()};
    EXPECT_EQ(text_of(client.request("GET", "board/projects", false)), c.expected);
  }
}

// A body that never ends stops at the cap, long before the deadline.
TEST(ClientLimits, EndlessBodyStopsAtTheCap) {
  std::atomic<std::size_t> sent{0};
  fake::RawService service([&](int connection, const std::string&) {
    const std::string opening = head(200, "Transfer-Encoding: chunked\r\n") + "1\r\n[\r\n";
    ::send(connection, opening.data(), opening.size(), MSG_NOSIGNAL);
    const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
    while (sent<4 * max_answer_bytes&& ::send(connection, chunk.data(), chunk.size(), MSG_NOSIGNAL)> 0) {
      sent += 0x10000;
    }
  });
  TempDir dir;
  dir.write("board-token.txt", "board-secret");
  Client client{dir.path(), service.base_url(), ClientHooks{.deadline = std::chrono::minutes(2)}};
  EXPECT_EQ(text_of(client.request("GET", "board/projects", false)), std::string("error ") + invalid_json);
  // The fake stops once the client hangs up; socket buffers hold a few MB more.
  EXPECT_GE(sent.load(), max_answer_bytes - 0x10000);
  EXPECT_LT(sent.load(), 2 * max_answer_bytes);
}

// Through the transport seam the same caps hold: bytes and values. (A body
// right at the byte cap is read in DecodedBodyPastTheCapIsNotRead.)
TEST(ClientLimits, AnswerCapsHoldForEveryTransport) {
  struct Case {
    const char* name;
    std::function<std::string()> body;  // made when its turn comes: some are large
    bool read;
  };
  auto values = [](std::size_t count) {  // an array holding count - 1 zeros
    return [count] {
      std::string text = "[0";
      for (std::size_t i = 2; i < count; ++i) text += ",0";
      return text + "]";
    };
  };
  const std::vector<Case> cases = {
      {"bytes past the cap", [] { return hostile::padded_zero(max_answer_bytes + 1); }, false},
      {"values at the cap", values(max_answer_values), true},
      {"values past the cap", values(max_answer_values + 1), false},
      {"ten million empty objects", [] { return hostile::empty_objects(10'000'000); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.write("board-token.txt", "board-secret");
    HttpAnswer reply = HttpReply{.status = 200, .body = c.body()};
    Client client{dir.path(), "https://veltrun.test/api", ClientHooks{.transport = [&](const HttpExchange&) {
                    return std::exchange(reply, std::unexpected(Unanswered::maybe_sent));
                  }}};
    const auto result = client.request("GET", "board/projects", false);
    EXPECT_EQ(result.has_value(), c.read) << (result ? "" : result.error());
    if (!c.read) {
      EXPECT_EQ(result.error(), invalid_json);
    }
  }
}

// A client whose transport answers every work-item page with the text
// page(n) for the nth request.
struct PagedService {
  std::function<std::string(std::size_t)> page;
  std::vector<std::string> urls;
  TempDir dir;
  Client client{dir.path(), "https://veltrun.test/api", ClientHooks{.transport = [this](const HttpExchange& request) {
                  urls.push_back(request.url);
                  return HttpAnswer(HttpReply{.status = 200, .body = page(urls.size())});
                }}};

  explicit PagedService(std::function<std::string(std::size_t)> pages) : page(std::move(pages)) {
    dir.write("board-token.txt", "board-secret");
  }
};

// Page n holds one item "W{n}", with the members of extra (a JSON object's
// text without its braces) after its own; a cursor follows while more is true.
std::string numbered_page(std::size_t n, bool more, const std::string& extra = "") {
  return R"({"items":[{"boardId":"B1","id":"W)" + std::to_string(n) + "\"" + (extra.empty() ? "" : "," + extra) +
         R"(}],"nextCursor":)" + (more ? "\"\"" : "null") + "}";
}

const std::string too_large =
    "Veltrun API returned more work items than one listing may hold (1000 pages, 4000000 JSON values or 134217728 "
    "bytes); refusing a "
    "partial list.";

TEST(ClientLimits, EndlessCursorEndsAtThePageCap) {
  PagedService endless([](std::size_t n) { return numbered_page(n, true); });
  const auto listed = endless.client.items_including("P1", "B1", "");
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error(), too_large);
  EXPECT_EQ(endless.urls.size(), client_http::max_list_pages);
  EXPECT_EQ(endless.urls.back(),
            "https://veltrun.test/api/board/projects/P1/work-items?limit=100&boardId=B1&cursor=W999");

  // The last page allowed may end the list.
  PagedService longest([](std::size_t n) { return numbered_page(n, n < client_http::max_list_pages); });
  const auto whole = longest.client.items_including("P1", "B1", "");
  ASSERT_TRUE(whole) << whole.error();
  EXPECT_EQ(whole->size(), client_http::max_list_pages);
}

// Pages each within the answer cap still may not add up past the list cap.
TEST(ClientLimits, PagesAddUpToTheValueCap) {
  // One item of 1 + 3 + 100,000 values a page: 40 pages hold 4,000,160.
  std::string filler = R"("filler":[0)";
  for (int i = 1; i < 100'000; ++i) filler += ",0";
  filler += "]";
  PagedService heavy([&](std::size_t n) { return numbered_page(n, true, filler); });
  const auto listed = heavy.client.items_including("P1", "B1", "comments");
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error(), too_large);
  EXPECT_EQ(heavy.urls.size(), 40u);

  PagedService within([&](std::size_t n) { return numbered_page(n, n < 39, filler); });
  const auto listed_within = within.client.items_including("P1", "B1", "comments");
  ASSERT_TRUE(listed_within) << listed_within.error();
  EXPECT_EQ(listed_within->size(), 39u);
}

// And past the byte cap: pages of one item with 16 MiB in a string, or in a
// key, each.
TEST(ClientLimits, PagesAddUpToTheByteCap) {
  const std::string large(std::size_t{16} << 20, 'x');
  for (const std::string& member : {R"("description":")" + large + "\"", "\"" + large + R"(":0)"}) {
    SCOPED_TRACE(member.substr(0, 20));
    PagedService heavy([&](std::size_t n) { return numbered_page(n, true, member); });
    const auto listed = heavy.client.items_including("P1", "B1", "comments");
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error(), too_large);
    EXPECT_EQ(heavy.urls.size(), client_http::max_list_bytes / large.size());
  }
}

// Only the items kept count: a filter that keeps one item of those pages
// reads every page.
TEST(ClientLimits, OnlyTheKeptItemsAddUp) {
  const std::string description = R"("description":")" + std::string(std::size_t{16} << 20, 'x') + "\"";
  const std::size_t pages = client_http::max_list_bytes / description.size() + 2;
  PagedService heavy([&](std::size_t n) { return numbered_page(n, n < pages, n == 3 ? "" : description); });
  const auto listed =
      heavy.client.items_kept("P1", "B1", "comments", [](const Json& item) { return item.value("id", "") == "W3"; });
  ASSERT_TRUE(listed) << listed.error();
  EXPECT_EQ(json_text::compact(Json(*listed)), R"([{"boardId":"B1","id":"W3"}])");
  EXPECT_EQ(heavy.urls.size(), pages);
}

// A cursor is an item's id, of any length: the cursors of one listing
// stop at their bound.
TEST(ClientLimits, CursorsAddUpToTheirBound) {
  const std::string padding(std::size_t{1} << 20, 'c');
  PagedService long_ids([&](std::size_t n) {
    return R"({"items":[{"boardId":"B1","id":"W)" + std::to_string(n) + padding + R"("}],"nextCursor":""})";
  });
  const auto listed = long_ids.client.items_including("P1", "B1", "");
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error(), too_large);
  // Each page's cursor is used by the next request; the one past the bound is not.
  EXPECT_EQ(long_ids.urls.size(),
            client_http::max_list_cursor_bytes / client_http::kept_entry_bytes(padding.size() + 2) + 1);
}

}  // namespace
