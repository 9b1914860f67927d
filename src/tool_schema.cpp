#include "tool_schema.hpp"

#include <utility>

namespace tool_schema {
namespace {

Json one_required(std::string_view name) { return Json{{"required", Json::array({name})}}; }

Json input_schema(const Input& input) {
  Json schema = {{"properties", input.properties}, {"type", "object"}};
  if (!input.required.empty()) schema["required"] = strings(input.required);
  if (input.closed) schema["additionalProperties"] = false;
  if (!input.any_of.empty()) {
    Json alternatives = Json::array();
    for (std::string_view name : input.any_of) alternatives.push_back(one_required(name));
    schema["anyOf"] = std::move(alternatives);
  }
  return schema;
}

}  // namespace

Json tool(std::string_view name, std::string_view description, const Input& input) {
  return Json{{"description", description}, {"inputSchema", input_schema(input)}, {"name", name}};
}

Json text(std::string_view description) {
  Json property = {{"type", "string"}};
  if (!description.empty()) property["description"] = description;
  return property;
}

Json nonempty_text() { return Json{{"minLength", 1}, {"type", "string"}}; }

Json array_of(Json items) { return Json{{"items", std::move(items)}, {"type", "array"}}; }

}  // namespace tool_schema
