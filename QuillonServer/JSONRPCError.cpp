#include "QuillonServer/JSONRPCError.h"

namespace mcp {
namespace {

JSONRPCError prefixed(std::int64_t code, std::string_view prefix, std::string_view detail) {
    std::string message(prefix);
    message += detail;
    return JSONRPCError(code, std::move(message));
}

}  // namespace

JSONRPCError JSONRPCError::parseError(std::string_view detail) { return prefixed(-32700, "Parse error: ", detail); }
JSONRPCError JSONRPCError::invalidRequest(std::string_view detail) {
    return prefixed(-32600, "Invalid request: ", detail);
}
JSONRPCError JSONRPCError::methodNotFound(std::string_view detail) {
    return prefixed(-32601, "Method not found: ", detail);
}
JSONRPCError JSONRPCError::invalidParams(std::string_view detail) {
    return prefixed(-32602, "Invalid params: ", detail);
}
JSONRPCError JSONRPCError::internalError(std::string_view detail) {
    return prefixed(-32603, "Internal error: ", detail);
}

}  // namespace mcp
