#include "QuillonServer/MCPToolResult.h"

namespace mcp {

JSON MCPToolResult::payload() const {
    JSON::Object item;
    item.emplace("type", "text");
    item.emplace("text", text);
    JSON::Object result;
    result.emplace("content", JSON::Array{JSON(std::move(item))});
    result.emplace("isError", isError);
    return JSON(std::move(result));
}

}  // namespace mcp
