#pragma once
// The errors the MCP layer answers with, as one value that can be thrown and written back.

#include "QuillonServer/JSON.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace mcp {

// A JSON-RPC error and the server's error type: respond() throws it, handle() answers with it.
struct JSONRPCError : std::exception {
    std::int64_t code = 0;
    std::string message;
    std::optional<JSON> data;

    JSONRPCError(std::int64_t code, std::string message, std::optional<JSON> data = std::nullopt)
        : code(code), message(std::move(message)), data(std::move(data)) {}

    static JSONRPCError parseError(std::string_view detail);
    static JSONRPCError invalidRequest(std::string_view detail);
    static JSONRPCError methodNotFound(std::string_view detail);
    static JSONRPCError invalidParams(std::string_view detail);
    static JSONRPCError internalError(std::string_view detail);

    const char* what() const noexcept override { return message.c_str(); }
    bool operator==(const JSONRPCError& other) const {
        return code == other.code && message == other.message && data == other.data;
    }
};

}  // namespace mcp
