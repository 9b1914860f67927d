#pragma once
#include <expected>
#include <string>

// A tool call's result: a success text, or an error text for the agent.
using ToolOutcome = std::expected<std::string, std::string>;
