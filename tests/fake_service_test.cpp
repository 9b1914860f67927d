#include "fake_service.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

namespace {

// The fixture itself: routes answer in order, the last reply repeats, and
// every request is recorded with its query and headers.
TEST(FakeService, AnswersRoutesInOrderAndRecords) {
  fake::Service service;
  service.on("GET", "board/projects?limit=1", fake::Reply::json(Json{{"n", 1}}));
  service.on("GET", "board/projects?limit=1", fake::Reply::raw(500, "<html>"));
  httplib::Client http("127.0.0.1", service.port());
  httplib::Headers headers = {{"X-Test", "yes"}};
  auto first = http.Get("/api/board/projects?limit=1", headers);
  auto second = http.Get("/api/board/projects?limit=1");
  auto third = http.Get("/api/board/projects?limit=1");
  auto unknown = http.Post("/api/nowhere", "{\"a\":1}", "application/json");
  ASSERT_TRUE(first && second && third && unknown);
  EXPECT_EQ(first->status, 200);
  EXPECT_EQ(first->body, "{\"n\":1}");
  EXPECT_EQ(second->status, 500);
  EXPECT_EQ(third->status, 500);
  EXPECT_EQ(unknown->status, 404);
  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].header("x-test"), "yes");
  EXPECT_EQ(requests[3].json(), Json::parse("{\"a\":1}"));
  EXPECT_EQ(service.lines(), (std::vector<std::string>{"GET board/projects?limit=1", "GET board/projects?limit=1",
                                                       "GET board/projects?limit=1", "POST nowhere"}));
}

}  // namespace
