// Arbitrary bytes as the input lines of the server loop, after consent,
// sign-in and the project choice have made every tool reachable; the service
// gives its scripted answers through the client's transport seam.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Conversation conversation(fuzz::scripted);
  conversation.serve(fuzz::setup_lines());
  if (!conversation.ready()) fuzz::fail("setup", "the session did not become ready");
  conversation.serve(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
