#include "QuillonServer/MCPTool.h"

namespace mcp {

JSON MCPTool::listed() const {
    JSON::Object members;
    members.emplace("name", name);
    members.emplace("description", description);
    members.emplace("inputSchema", inputSchema);
    if (annotations) members.emplace("annotations", *annotations);
    return JSON(std::move(members));
}

}  // namespace mcp
