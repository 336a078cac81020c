#pragma once
// The pretty form of JSON that people read (command-line documents, tool result texts).

#include <string>

#include <nlohmann/json.hpp>

namespace recorder::PrettyJSON {

// Two-space indentation, `"key" : value`, keys sorted at every level, "/" unescaped, empty
// containers as [] and {}, no trailing line feed; text that is not valid UTF-8 gets U+FFFD in
// place of each bad byte.
std::string write(const nlohmann::json& value);

}  // namespace recorder::PrettyJSON
