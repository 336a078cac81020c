#pragma once
// A tool as the host sees it in tools/list.

#include "QuillonServer/JSON.h"

#include <optional>
#include <string>

namespace mcp {

// How a tool is described to the host.
struct MCPTool {
    std::string name;
    std::string description;
    JSON inputSchema;
    std::optional<JSON> annotations;

    // The form "tools/list" returns: "annotations" only when present.
    JSON listed() const;
    bool operator==(const MCPTool&) const = default;
};

}  // namespace mcp
