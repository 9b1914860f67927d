#pragma once
// The one way tool definitions and their argument schemas are written.
#include <initializer_list>
#include <string_view>
#include <vector>

#include "team_core/json_text.hpp"

namespace tool_schema {

// A tool's "inputSchema": an object with these properties.
struct Input {
  Json properties = Json::object();
  std::vector<std::string_view> required = {};  // printed only when not empty
  bool closed = false;                          // refuses keys outside properties
  std::vector<std::string_view> any_of = {};    // at least one of these is required
};

// The tool object: "description", "inputSchema" and "name".
Json tool(std::string_view name, std::string_view description, const Input& input);

// A string, with a description when one is given.
Json text(std::string_view description = {});

// A string of at least one character.
Json nonempty_text();

// An array whose elements follow items.
Json array_of(Json items);

// The words as a JSON array, in their order.
template <typename Words = std::initializer_list<std::string_view>>
Json strings(const Words& words) {
  Json array = Json::array();
  for (std::string_view word : words) array.push_back(word);
  return array;
}

// A string that must be one of the words.
template <typename Words = std::initializer_list<std::string_view>>
Json choice(const Words& words) {
  return Json{{"enum", strings(words)}, {"type", "string"}};
}

}  // namespace tool_schema
