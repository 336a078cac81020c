#include "QuillonServer/JSONRPCMessage.h"

namespace mcp {

JSONRPCMessage::JSONRPCMessage(const JSON& value) : kind(Response{}) {
    auto object = value.objectValue();
    if (!object) {
        kind = Invalid{JSON(), JSONRPCError::invalidRequest("Expected a JSON object")};
        return;
    }
    std::optional<JSON> params;
    if (auto p = value["params"]) params = *p;
    JSON id;
    if (auto i = value["id"]) id = *i;
    std::optional<std::string> method;
    if (auto m = value["method"]; m && (m->isString() || m->isInt())) method = m->stringValue();

    if (method) {
        if (id.isNull())
            kind = Notification{std::move(*method), std::move(params)};
        else
            kind = Request{std::move(id), std::move(*method), std::move(params)};
    } else if (object->contains("result") || object->contains("error")) {
        kind = Response{};
    } else {
        kind = Invalid{std::move(id), JSONRPCError::invalidRequest("Missing method")};
    }
}

}  // namespace mcp
