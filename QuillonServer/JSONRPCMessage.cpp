#include "QuillonServer/JSONRPCMessage.h"

namespace mcp {
namespace {

// Classifies an object whose "id" and "params" members have been taken out already.
JSONRPCMessage::Kind classify(const JSON::Object& object, JSON id, std::optional<JSON> params) {
    std::optional<std::string> method;
    if (auto m = object.find("method"); m != object.end() && (m->second.isString() || m->second.isInt()))
        method = m->second.stringValue();

    if (method) {
        if (id.isNull()) return JSONRPCMessage::Notification{std::move(*method), std::move(params)};
        return JSONRPCMessage::Request{std::move(id), std::move(*method), std::move(params)};
    }
    if (object.contains("result") || object.contains("error")) return JSONRPCMessage::Response{};
    return JSONRPCMessage::Invalid{std::move(id), JSONRPCError::invalidRequest("Missing method")};
}

JSONRPCMessage::Invalid notAnObject() { return {JSON(), JSONRPCError::invalidRequest("Expected a JSON object")}; }

}  // namespace

JSONRPCMessage::JSONRPCMessage(const JSON& value) : kind(Response{}) {
    auto object = value.objectValue();
    if (!object) {
        kind = notAnObject();
        return;
    }
    std::optional<JSON> params;
    if (auto p = value["params"]) params = *p;
    JSON id;
    if (auto i = value["id"]) id = *i;
    kind = classify(*object, std::move(id), std::move(params));
}

JSONRPCMessage::JSONRPCMessage(JSON&& value) : kind(Response{}) {
    auto object = value.objectValue();
    if (!object) {
        kind = notAnObject();
        return;
    }
    std::optional<JSON> params;
    if (auto p = object->find("params"); p != object->end()) params = std::move(p->second);
    JSON id;
    if (auto i = object->find("id"); i != object->end()) id = std::move(i->second);
    kind = classify(*object, std::move(id), std::move(params));
}

}  // namespace mcp
