#pragma once
#include <string>

#include "json_text.hpp"

// The eighteen tools in catalogue order, built anew by each call; the server
// builds them once, through tool_catalogue.
Json tool_defs();

// The same tools, built once per process and never changed afterwards.
const Json& tool_catalogue();

// The compact text of the "tools/list" result, {"tools":[...]}, printed once.
const std::string& printed_tools_result();
