#pragma once

#include "QuillonServer/JSON.h"
#include "QuillonServer/MCPToolResult.h"

#include <stop_token>
#include <string>

namespace mcp {

// Executes tool calls. Runs on the thread of the MCP request; `cancel` is that request's
// cancellation and should be honoured promptly. Failures are results with isError set; an
// exception escaping here is answered as an internal error.
class MCPToolHandler {
public:
    virtual ~MCPToolHandler() = default;
    // `name` is known to be in the catalogue; `arguments` is an object, or null when the host
    // sent something else.
    virtual MCPToolResult callTool(const std::string& name, const JSON& arguments, std::stop_token cancel) = 0;
};

} // namespace mcp
