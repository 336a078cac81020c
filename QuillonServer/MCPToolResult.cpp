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

void MCPToolResult::writePayload(std::string& out) const {
    // Keys in the sorted order the value's text has.
    out += R"({"content":[{"text":)";
    JSON::serializeString(text, out);
    out += isError ? R"(,"type":"text"}],"isError":true})" : R"(,"type":"text"}],"isError":false})";
}

}  // namespace mcp
