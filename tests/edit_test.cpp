#include "edit.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fake_service.hpp"
#include "temp_dir.hpp"

namespace {

using fake::Reply;
using Lines = std::vector<std::string>;

const std::string page_path = "docs/projects/P1/pages/D1";
const std::string edit_unknown_outcome =
    "Edit is not confirmed. Do not retry automatically. Read the page and reconcile its current content/version "
    "first.";
const std::string version_differs =
    "Page version differs from expected_version; no edit sent. Read the page again and reconcile your changes; do "
    "not merely increment expected_version.";
const std::string bad_version = "expected_version must be a positive safe integer from get_doc_page.";
const std::string read_line = "GET " + page_path;

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

std::string fake_unreachable_origin() {
  fake::Service gone;
  return gone.origin();
}

class EditTool : public ::testing::Test {
 protected:
  TempDir app;
  fake::Service service;
  Client client{app.path(), service.base_url()};
  // What the fake answers; a case changes them before it runs.
  Reply read_reply;
  Reply write_reply;

  EditTool() {
    app.write("board-token.txt", "board-secret");
    app.write("docs-token.txt", " docs-secret\n");
    read_reply = Reply::json({{"page", page(3)}});
    service.on("GET", page_path, [this](const fake::Request&) { return read_reply; });
    service.on("PATCH", page_path, [this](const fake::Request&) { return write_reply; });
  }

  static Json page(unsigned version, const std::string& title = "Old", const std::string& body = "old body") {
    return {{"bodyMarkdown", body},  {"id", "D1"},     {"projectId", "P1"},
            {"status", "published"}, {"title", title}, {"version", version}};
  }

  // Arguments arrive as parsed text, so number kinds are the parser's.
  static Json arguments(const std::string& text) {
    auto value = json_text::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value.value_or(Json());
  }

  ToolOutcome run(const std::string& text, std::string_view project = "P1") {
    return edit::doc_page(client, project, arguments(text));
  }

  // "METHOD target body" of every request since the last call.
  Lines sent() {
    Lines out = service.exchanges();
    service.clear_requests();
    return out;
  }

  static std::string text(const ToolOutcome& outcome) { return outcome ? *outcome : "error: " + outcome.error(); }
};

TEST_F(EditTool, ConfirmedEditSendsExactlyWhatWasSupplied) {
  struct Case {
    std::string arguments;
    std::string body;  // the PATCH body
    Json echoed;       // the page the service answers with
  };
  const std::string patch = "PATCH " + page_path + " ";
  const std::vector<Case> cases = {
      {R"({"page_id":"D1","expected_version":3,"title":"  New title \t"})",
       R"({"authorType":"agent","changeSummary":"Updated via Veltrun MCP","expectedVersion":3,"title":"New title"})",
       page(4, "New title")},
      // The empty body clears the page and must come back empty; the title is not compared.
      {R"({"page_id":"D1","expected_version":3,"body_markdown":""})",
       R"({"authorType":"agent","bodyMarkdown":"","changeSummary":"Updated via Veltrun MCP","expectedVersion":3})",
       page(4, "Renamed elsewhere", "")},
      // The body goes out untrimmed; the echoed body is not compared when only the title was sent.
      {R"({"page_id":"D1","expected_version":3,"title":"T","change_summary":"\u00a0 Fixed typo \n"})",
       R"({"authorType":"agent","changeSummary":"Fixed typo","expectedVersion":3,"title":"T"})",
       page(4, "T", "rewritten elsewhere")},
      {R"({"page_id":"D1","expected_version":3,"title":"T","body_markdown":"  # Head\n\n","change_summary":"  "})",
       R"({"authorType":"agent","bodyMarkdown":"  # Head\n\n","changeSummary":"","expectedVersion":3,"title":"T"})",
       page(4, "T", "  # Head\n\n")},
  };
  for (const Case& c : cases) {
    write_reply = Reply::json({{"page", c.echoed}});
    EXPECT_EQ(text(run(c.arguments)), json_text::pretty(Json{{"updated", c.echoed}})) << c.arguments;
    EXPECT_EQ(sent(), (Lines{read_line, patch + c.body})) << c.arguments;
  }
}

TEST_F(EditTool, SuccessTextIsThePrettyEchoedPageAndUsesTheDocsCredential) {
  write_reply = Reply::raw(
      200, R"({"page":{"version":4,"title":"New","projectId":"P1","id":"D1","links":[],"extra":{"b":1,"a":null}}})",
      "application/json");
  EXPECT_EQ(text(run(R"({"title":"New","page_id":"D1","expected_version":3})")),
            "{\n"
            "  \"updated\": {\n"
            "    \"extra\": {\n"
            "      \"a\": null,\n"
            "      \"b\": 1\n"
            "    },\n"
            "    \"id\": \"D1\",\n"
            "    \"links\": [],\n"
            "    \"projectId\": \"P1\",\n"
            "    \"title\": \"New\",\n"
            "    \"version\": 4\n"
            "  }\n"
            "}");
  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const fake::Request& request : requests) EXPECT_EQ(request.header("authorization"), "Bearer docs-secret");
  EXPECT_EQ(requests[1].header("content-type"), "application/json");
}

TEST_F(EditTool, ArgumentFaultsAreReportedBeforeAnyRequest) {
  struct Case {
    std::string arguments;
    std::string error;
    std::string project = "P1";
  };
  const std::string valid = R"("page_id":"D1","expected_version":3)";
  const std::vector<Case> cases = {
      {"[]", "Arguments must be an object."},
      {"null", "Arguments must be an object."},
      {R"("D1")", "Arguments must be an object."},
      // Keys are judged in byte order, before any value.
      {R"({"page_id":"no/such","zeta":1,"Zeta":1})", "Unsupported argument: Zeta."},
      {R"({"title":"T","page_id":"D1","expected_version":3,"pageId":"D1"})", "Unsupported argument: pageId."},
      {R"({"titles":"x","expected_version":0})", "Unsupported argument: titles."},
      {"{}", "Invalid identifier."},
      {R"({"expected_version":3,"title":"T"})", "Invalid identifier."},
      {R"({"page_id":7,"expected_version":3,"title":"T"})", "Invalid identifier."},
      {R"({"page_id":"","expected_version":3,"title":"T"})", "Invalid identifier."},
      {R"({"page_id":"../D1","expected_version":3,"title":"T"})", "Invalid identifier."},
      {R"({"page_id":"D1?x=1","expected_version":3,"title":"T"})", "Invalid identifier."},
      {R"({"page_id":"D\u00e91","expected_version":3,"title":"T"})", "Invalid identifier."},
      // The page id is judged before the version.
      {R"({"page_id":"D 1","expected_version":-1})", "Invalid identifier."},
      {R"({"page_id":"D1","title":"T"})", bad_version},
      {R"({"page_id":"D1","expected_version":null,"title":"T"})", bad_version},
      // The version is judged before the texts, the texts before the project id.
      {R"({"page_id":"D1","expected_version":0,"title":5})", bad_version},
      {"{" + valid + R"(,"title":5})", "title must be a string.", ""},
      {"{" + valid + "}", "Supply title and/or body_markdown to edit.", ""},
      {"{" + valid + R"(,"title":5})", "title must be a string."},
      {"{" + valid + R"(,"title":" \u3000\n"})", "title must not be empty."},
      {"{" + valid + R"(,"title":"","body_markdown":"x"})", "title must not be empty."},
      // title comes before body_markdown, which comes before change_summary.
      {"{" + valid + R"(,"title":"  ","change_summary":1})", "title must not be empty."},
      {"{" + valid + R"(,"title":"T","body_markdown":null,"change_summary":1})", "body_markdown must be a string."},
      {"{" + valid + R"(,"body_markdown":["x"]})", "body_markdown must be a string."},
      {"{" + valid + R"(,"change_summary":1})", "change_summary must be a string."},
      {"{" + valid + R"(,"title":"T","change_summary":false})", "change_summary must be a string."},
      {"{" + valid + "}", "Supply title and/or body_markdown to edit."},
      {"{" + valid + R"(,"change_summary":"why"})", "Supply title and/or body_markdown to edit."},
      {"{" + valid + R"(,"title":"T"})", "Invalid identifier.", ""},
      {"{" + valid + R"(,"title":"T"})", "Invalid identifier.", "P1/pages"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(run(c.arguments, c.project)), "error: " + c.error) << c.arguments;
    EXPECT_EQ(sent(), Lines{}) << c.arguments;
  }
}

TEST_F(EditTool, ExpectedVersionMustBeAPlainSafeUnsignedInteger) {
  struct Case {
    std::string version;  // as written in the argument text
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"1", true},
      {"9007199254740990", true},
      {"9007199254740991", false},
      {"18446744073709551615", false},
      {"0", false},
      {"-0", false},
      {"-1", false},
      {"2.5", false},
      {"5.0", false},
      {"1e3", false},
      {"1E1", false},
      {R"("3")", false},
      {"true", false},
      {"[3]", false},
      {"18446744073709551616", false},
  };
  for (const Case& c : cases) {
    const std::string arguments = R"({"page_id":"D1","title":"T","expected_version":)" + c.version + "}";
    if (!c.accepted) {
      EXPECT_EQ(text(run(arguments)), "error: " + bad_version) << c.version;
      EXPECT_EQ(sent(), Lines{}) << c.version;
      continue;
    }
    const unsigned long long version = std::stoull(c.version);
    read_reply = Reply::json({{"page", {{"id", "D1"}, {"projectId", "P1"}, {"version", version}}}});
    const Json echoed = {{"id", "D1"}, {"projectId", "P1"}, {"title", "T"}, {"version", version + 1}};
    write_reply = Reply::json({{"page", echoed}});
    EXPECT_EQ(text(run(arguments)), json_text::pretty(Json{{"updated", echoed}})) << c.version;
    EXPECT_EQ(sent(), (Lines{read_line, "PATCH " + page_path +
                                            R"( {"authorType":"agent","changeSummary":"Updated via Veltrun MCP",)"
                                            R"("expectedVersion":)" +
                                            c.version + R"(,"title":"T"})"}))
        << c.version;
  }
}

TEST_F(EditTool, ExpectedVersionBuiltInCodeIsJudgedByItsValue) {
  // Only parsed text tells the number kinds apart by their writing; a value
  // built in code holds a positive integer in the signed kind too.
  struct Case {
    Json version;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {3, true}, {3u, true}, {std::int64_t{3}, true}, {-3, false}, {0, false}, {3.0, false}, {"3", false},
  };
  write_reply = Reply::json({{"page", page(4, "T")}});
  for (const Case& c : cases) {
    const Json arguments = {{"page_id", "D1"}, {"expected_version", c.version}, {"title", "T"}};
    const ToolOutcome outcome = edit::doc_page(client, "P1", arguments);
    const std::string label = json_text::compact(c.version);
    if (!c.accepted) {
      EXPECT_EQ(text(outcome), "error: " + bad_version) << label;
      EXPECT_EQ(sent(), Lines{}) << label;
      continue;
    }
    EXPECT_EQ(text(outcome), json_text::pretty(Json{{"updated", page(4, "T")}})) << label;
    EXPECT_EQ(sent().size(), 2u) << label;
  }
}

TEST(EditDefinition, PrintsTheDocumentedToolExactly) {
  const std::string description =
      "Edit an existing Docs page's title and/or full Markdown body in this session's resolved project. First read "
      "get_doc_page and use its exact ID and version as expected_version. Only supplied fields change; authorType is "
      "agent. Keeps status, parent, space and links unchanged (edits to a published page remain published). Requires "
      "the user's request to edit. On conflict or uncertain result, read and reconcile; never automatically retry "
      "with a newer version.";
  EXPECT_EQ(description.size(), 456u);
  EXPECT_EQ(json_text::compact(edit::definition("update_doc_page")),
            R"({"description":")" + description +
                R"(","inputSchema":{"additionalProperties":false,)"
                R"("anyOf":[{"required":["title"]},{"required":["body_markdown"]}],)"
                R"("properties":{"body_markdown":{"description":"Full replacement Markdown; omit to retain the )"
                R"(current body. Empty string intentionally clears it.","type":"string"},)"
                R"("change_summary":{"maxLength":500,"type":"string"},)"
                R"("expected_version":{"maximum":9007199254740990,"minimum":1,"type":"integer"},)"
                R"("page_id":{"minLength":1,"type":"string"},"title":{"minLength":1,"type":"string"}},)"
                R"("required":["page_id","expected_version"],"type":"object"},"name":"update_doc_page"})");
}

TEST_F(EditTool, ChangeSummaryIsCountedInUtf16UnitsAfterTrimming) {
  const std::string astral = "\U0001F600";  // two UTF-16 units, four bytes
  struct Case {
    const char* label;
    std::string summary;
    bool accepted;
    std::string sent;
  };
  const std::vector<Case> cases = {
      {"500 ASCII", repeated("a", 500), true, repeated("a", 500)},
      {"501 ASCII", repeated("a", 501), false, ""},
      {"500 units inside spaces", "  " + repeated("b", 499) + "\u00e9 \\n", true, repeated("b", 499) + "\u00e9"},
      {"250 astral", repeated(astral, 250), true, repeated(astral, 250)},
      {"300 astral", repeated(astral, 300), false, ""},
      {"499 units and one astral", repeated("c", 499) + astral, false, ""},
      {"blank", " \\t\\u3000 ", true, ""},
  };
  for (const Case& c : cases) {
    const std::string arguments =
        R"({"page_id":"D1","expected_version":3,"body_markdown":"B","change_summary":")" + c.summary + R"("})";
    write_reply = Reply::json({{"page", page(4, "Old", "B")}});
    const ToolOutcome outcome = run(arguments);
    if (!c.accepted) {
      EXPECT_EQ(text(outcome), "error: change_summary must be at most 500 characters.") << c.label;
      EXPECT_EQ(sent(), Lines{}) << c.label;
      continue;
    }
    EXPECT_TRUE(outcome.has_value()) << c.label << ": " << text(outcome);
    const auto requests = service.requests();
    service.clear_requests();
    ASSERT_EQ(requests.size(), 2u) << c.label;
    EXPECT_EQ(requests[1].json(),
              Json({{"authorType", "agent"}, {"bodyMarkdown", "B"}, {"changeSummary", c.sent}, {"expectedVersion", 3}}))
        << c.label;
  }
}

TEST_F(EditTool, PageReadThatDoesNotMatchSendsNoEdit) {
  struct Case {
    const char* label;
    Reply reply;
    std::string error;
  };
  const Json other_project = {{"id", "D1"}, {"projectId", "P2"}, {"version", 3}};
  const Json other_page = {{"id", "D2"}, {"projectId", "P1"}, {"version", 3}};
  const Json no_project = {{"id", "D1"}, {"version", 3}};
  const Json numeric_ids = {{"id", 1}, {"projectId", "P1"}, {"version", 3}};
  const std::vector<Case> cases = {
      {"404", Reply::json({{"message", "Page not found"}}, 404),
       "Veltrun API returned HTTP 404 for GET docs/projects/P1/pages/D1: Page not found"},
      {"401", Reply::empty(401),
       "AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again."},
      {"204", Reply::empty(204), "Invalid page response; no edit sent."},
      {"no page member", Reply::json({{"id", "D1"}, {"projectId", "P1"}, {"version", 3}}),
       "Invalid page response; no edit sent."},
      {"array", Reply::json(Json::array({page(3)})), "Invalid page response; no edit sent."},
      {"page is a string", Reply::json({{"page", "D1"}}), "Page scope mismatch; no edit sent."},
      {"page is null", Reply::json({{"page", nullptr}}), "Page scope mismatch; no edit sent."},
      {"other project", Reply::json({{"page", other_project}}), "Page scope mismatch; no edit sent."},
      {"other page", Reply::json({{"page", other_page}}), "Page scope mismatch; no edit sent."},
      {"no project id", Reply::json({{"page", no_project}}), "Page scope mismatch; no edit sent."},
      {"numeric id", Reply::json({{"page", numeric_ids}}), "Page scope mismatch; no edit sent."},
      {"newer version", Reply::json({{"page", page(4)}}), version_differs},
      {"older version", Reply::json({{"page", page(2)}}), version_differs},
      {"version as text", Reply::raw(200, R"({"page":{"id":"D1","projectId":"P1","version":"3"}})", "application/json"),
       version_differs},
      {"version as float",
       Reply::raw(200, R"({"page":{"id":"D1","projectId":"P1","version":3.0}})", "application/json"), version_differs},
      {"no version", Reply::json({{"page", {{"id", "D1"}, {"projectId", "P1"}}}}), version_differs},
  };
  for (const Case& c : cases) {
    read_reply = c.reply;
    EXPECT_EQ(text(run(R"({"page_id":"D1","expected_version":3,"title":"T"})")), "error: " + c.error) << c.label;
    EXPECT_EQ(sent(), Lines{read_line}) << c.label;
  }
}

TEST_F(EditTool, WithoutADocsCredentialNothingIsSent) {
  TempDir board_only;
  board_only.write("board-token.txt", "board-secret");
  Client signed_out{board_only.path(), service.base_url()};
  EXPECT_EQ(text(edit::doc_page(signed_out, "P1", arguments(R"({"page_id":"D1","expected_version":3,"title":"T"})"))),
            "error: AUTH_REQUIRED: Token unavailable. Use veltrun_login after session opt-in.");
  EXPECT_EQ(sent(), Lines{});
}

TEST_F(EditTool, EditThatCannotBeConfirmedSaysSoAndIsNotRepeated) {
  struct Case {
    const char* label;
    std::string arguments;
    Reply reply;
    std::string error;
  };
  const std::string title_only = R"({"page_id":"D1","expected_version":3,"title":" New "})";
  const std::string title_body = R"({"page_id":"D1","expected_version":3,"title":"New","body_markdown":""})";
  const std::string invalid = "Invalid edit response. " + edit_unknown_outcome;
  const std::string mismatched = "Mismatched edit response. " + edit_unknown_outcome;
  auto echo = [](Json page) { return Reply::json({{"page", std::move(page)}}); };
  Json without_title = page(4, "New", "");
  without_title.erase("title");
  Json null_body = page(4, "New", "");
  null_body["bodyMarkdown"] = nullptr;
  Json moved = page(4, "New");
  moved["projectId"] = "P2";
  Json renumbered = page(4, "New");
  renumbered["id"] = "D2";
  const std::vector<Case> cases = {
      {"conflict", title_only, Reply::json({{"message", "Version conflict"}}, 409),
       "Veltrun API returned HTTP 409 for PATCH docs/projects/P1/pages/D1: Version conflict " + edit_unknown_outcome},
      {"server error without message", title_only, Reply::raw(502, "<html>Bad gateway</html>", "text/html"),
       "Veltrun API returned HTTP 502 for PATCH docs/projects/P1/pages/D1. No success or empty result can be "
       "inferred. " +
           edit_unknown_outcome},
      {"expired", title_only, Reply::empty(401),
       "AUTH_REQUIRED: Veltrun authentication expired or was revoked. Use veltrun_login to sign in again. " +
           edit_unknown_outcome},
      {"not JSON", title_only, Reply::raw(200, "ok", "text/plain"),
       "Veltrun API returned invalid JSON. " + edit_unknown_outcome},
      // A write follows no redirect, and its redirect is no success; a lost
      // connection is in fault_injection_test.
      {"redirect", title_only, Reply::redirect(307, fake_unreachable_origin() + "/api/" + page_path),
       "Veltrun API returned HTTP 307 for PATCH docs/projects/P1/pages/D1. No success or empty result can be "
       "inferred. " +
           edit_unknown_outcome},
      {"204", title_only, Reply::empty(204), invalid},
      {"no page member", title_only, Reply::json({{"updated", page(4, "New")}}), invalid},
      {"array", title_only, Reply::json(Json::array({page(4, "New")})), invalid},
      {"page is null", title_only, echo(nullptr), mismatched},
      {"version not advanced", title_only, echo(page(3, "New")), mismatched},
      {"version advanced twice", title_only, echo(page(5, "New")), mismatched},
      {"version as text", title_only,
       Reply::raw(200, R"({"page":{"id":"D1","projectId":"P1","title":"New","version":"4"}})", "application/json"),
       mismatched},
      {"version as float", title_only,
       Reply::raw(200, R"({"page":{"id":"D1","projectId":"P1","title":"New","version":4.0}})", "application/json"),
       mismatched},
      {"other project", title_only, echo(moved), mismatched},
      {"other page", title_only, echo(renumbered), mismatched},
      {"untrimmed title", title_only, echo(page(4, " New ")), mismatched},
      {"old title", title_only, echo(page(4, "Old")), mismatched},
      {"title missing", title_body, echo(without_title), mismatched},
      {"old body", title_body, echo(page(4, "New", "old body")), mismatched},
      {"body null", title_body, echo(null_body), mismatched},
  };
  const std::string title_patch =
      "PATCH " + page_path +
      R"( {"authorType":"agent","changeSummary":"Updated via Veltrun MCP","expectedVersion":3,"title":"New"})";
  const std::string title_body_patch =
      "PATCH " + page_path +
      R"( {"authorType":"agent","bodyMarkdown":"","changeSummary":"Updated via Veltrun MCP","expectedVersion":3,)"
      R"("title":"New"})";
  for (const Case& c : cases) {
    write_reply = c.reply;
    EXPECT_EQ(text(run(c.arguments)), "error: " + c.error) << c.label;
    EXPECT_EQ(sent(), (Lines{read_line, c.arguments == title_only ? title_patch : title_body_patch})) << c.label;
  }
}

}  // namespace
