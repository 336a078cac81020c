#pragma once
// The two reply shapes the server writes, built in one place.

#include "QuillonServer/JSON.h"
#include "QuillonServer/JSONRPCError.h"

namespace mcp::JSONRPCResponse {

// {"jsonrpc":"2.0","id":id,"result":result}
JSON result(JSON id, JSON result);
// {"jsonrpc":"2.0","id":id,"error":{"code":..,"message":..[,"data":..]}}
JSON failure(JSON id, const JSONRPCError& error);

}  // namespace mcp::JSONRPCResponse
