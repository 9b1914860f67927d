#pragma once
// The answer to "initialize" and the two texts that tell the agent how to
// behave before its first tool call.
#include <string>
#include <string_view>

#include "team_core/json_text.hpp"

// When and how to open the session, one line of plain text.
extern const std::string_view session_guidance;

// The workflow skill document: when to create, comment, edit and move work.
extern const std::string_view workflow_skill;

// The session guidance, an empty line and the skill document.
std::string instructions();

// Built afresh for every request; only "/params/protocolVersion" is read.
Json initialize_result(const Json& request);
