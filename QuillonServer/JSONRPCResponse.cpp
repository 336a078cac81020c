#include "QuillonServer/JSONRPCResponse.h"

namespace mcp::JSONRPCResponse {

JSON result(JSON id, JSON result) {
    JSON::Object reply;
    reply.emplace("jsonrpc", "2.0");
    reply.emplace("id", std::move(id));
    reply.emplace("result", std::move(result));
    return JSON(std::move(reply));
}

JSON failure(JSON id, const JSONRPCError& error) {
    JSON::Object body;
    body.emplace("code", error.code);
    body.emplace("message", error.message);
    if (error.data) body.emplace("data", *error.data);
    JSON::Object reply;
    reply.emplace("jsonrpc", "2.0");
    reply.emplace("id", std::move(id));
    reply.emplace("error", JSON(std::move(body)));
    return JSON(std::move(reply));
}

}  // namespace mcp::JSONRPCResponse
