#pragma once
#include "json_text.hpp"

// The eighteen tools, built afresh on every call.
Json tool_defs();
