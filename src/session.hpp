#pragma once
#include "client.hpp"
#include "session_record.hpp"

// The session state machine behind veltrun_session and the session gate.
Result<Json> session_context(Session& session, const Client& client, const Json& arguments);
