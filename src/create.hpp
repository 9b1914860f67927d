#pragma once
// The two tools that add records to the service, with strict arguments and a
// verified echo.
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "client.hpp"
#include "tool_outcome.hpp"

namespace create {

// The two tools, under the names their rows give them.
Json work_item_definition(std::string_view name);
Json doc_page_definition(std::string_view name);

// A work item in Inbox on the board.
ToolOutcome work_item(const Client& client, std::string_view project_id, std::string_view board_id,
                      const Json& arguments);

// A root draft page in the project's default Docs space.
ToolOutcome doc_page(const Client& client, std::string_view project_id, const Json& arguments);

// An object whose keys are all allowed and whose "title" is non-blank text.
Result<void> validate_args(const Json& arguments, std::initializer_list<std::string_view> allowed);

// The string under key ("" when absent), untrimmed.
Result<std::string_view> string(const Json& arguments, std::string_view key);

// One POST, then the record under response_key checked against the
// destination before it is reported.
ToolOutcome post(const Client& client, std::string_view path, bool docs, Json body, std::string_view response_key,
                 std::string_view project_id, std::optional<std::string_view> board_id);

}  // namespace create
