#pragma once
// The one interface the server calls tools through, so that the server can be tested with a
// scripted handler.

#include "QuillonServer/JSON.h"
#include "QuillonServer/MCPRequestContext.h"
#include "QuillonServer/MCPToolResult.h"

#include <string>

namespace mcp {

// Executes tool calls. Runs on the thread of the MCP request; the context carries that request's
// cancellation, which should be honoured promptly, and its progress reporting. Failures are
// results with isError set; an exception escaping here is answered as an internal error.
class MCPToolHandler {
public:
    virtual ~MCPToolHandler() = default;
    // `name` is known to be in the catalogue; `arguments` is an object, or null when the host
    // sent something else.
    virtual MCPToolResult callTool(const std::string& name, const JSON& arguments,
                                   const MCPRequestContext& context) = 0;
};

}  // namespace mcp
