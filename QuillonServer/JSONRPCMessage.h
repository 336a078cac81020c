#pragma once
// What an incoming JSON-RPC line is (request, notification, reply or invalid), decided once so that
// the server dispatches on a value instead of looking at fields again.

#include "QuillonServer/JSON.h"
#include "QuillonServer/JSONRPCError.h"

#include <optional>
#include <string>
#include <variant>

namespace mcp {

// An incoming JSON-RPC message, classified leniently: "jsonrpc" is never read, a numeric method
// name is accepted, and anything malformed becomes `Invalid` carrying the error to answer with.
struct JSONRPCMessage {
    struct Request {
        JSON id;  // never null
        std::string method;
        std::optional<JSON> params;
        bool operator==(const Request&) const = default;
    };
    struct Notification {
        std::string method;
        std::optional<JSON> params;
        bool operator==(const Notification&) const = default;
    };
    struct Invalid {
        JSON id;  // null when the message had none
        JSONRPCError error;
        bool operator==(const Invalid&) const = default;
    };
    struct Response {
        bool operator==(const Response&) const = default;
    };
    using Kind = std::variant<Request, Notification, Invalid, Response>;

    Kind kind;

    explicit JSONRPCMessage(const JSON& value);
    // The same, taking the id and parameters out of `value` rather than copying them.
    explicit JSONRPCMessage(JSON&& value);
    JSONRPCMessage(Kind kind) : kind(std::move(kind)) {}
    JSONRPCMessage(Request request) : kind(std::move(request)) {}
    JSONRPCMessage(Notification notification) : kind(std::move(notification)) {}
    JSONRPCMessage(Invalid invalid) : kind(std::move(invalid)) {}
    JSONRPCMessage(Response response) : kind(response) {}
    bool operator==(const JSONRPCMessage&) const = default;
};

}  // namespace mcp
