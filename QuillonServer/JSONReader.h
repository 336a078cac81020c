#pragma once
// A direct reader for the JSON text hosts send, building the MCP layer's value without an
// intermediate tree.

#include "QuillonServer/JSON.h"

#include <optional>
#include <string_view>

namespace mcp::JSONReader {

// The value of `text` when it is well-formed JSON in the forms a request line nearly always takes:
// ASCII strings, numbers that fit an int64 or a finite double, nesting up to `maximumDepth`.
// Anything else gives nothing, malformed or not, and is left to the complete parser, which also
// words the error: so this reader only needs to be right about what it accepts.
std::optional<JSON> read(std::string_view text);

inline constexpr int maximumDepth = 64;

}  // namespace mcp::JSONReader
