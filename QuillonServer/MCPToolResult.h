#pragma once
// The result of one tool call, in the form tools/call answers with.

#include "QuillonServer/JSON.h"

#include <string>

namespace mcp {

// What executing a tool produces: always text, optionally flagged as an error.
struct MCPToolResult {
    std::string text;
    bool isError = false;

    // The "tools/call" result: {"content":[{"type":"text","text":..}],"isError":..}.
    JSON payload() const;
    // The payload's text, as payload().serialized() gives it, appended to `out` without building
    // the value first.
    void writePayload(std::string& out) const;
    bool operator==(const MCPToolResult&) const = default;
};

}  // namespace mcp
