#include "QuillonServer/MCPServer.h"

#include "QuillonServer/JSONRPCResponse.h"

#include <algorithm>
#include <charconv>

namespace mcp {
namespace {

JSON listing(const std::vector<MCPTool>& tools) {
    JSON::Array listed;
    listed.reserve(tools.size());
    for (const auto& tool : tools)
        listed.push_back(tool.listed());
    return JSON::object({{"tools", JSON(std::move(listed))}});
}

// A string, or an integer as its decimal text; anything else gives nothing.
std::optional<std::string> nameText(const JSON* value) {
    if (value && (value->isString() || value->isInt()))
        return value->stringValue();
    return std::nullopt;
}

bool nonEmptyObject(const std::optional<JSON>& params) {
    return params && params->objectValue() && !params->objectValue()->empty();
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

} // namespace

MCPServer::MCPServer(Info info, std::vector<MCPTool> tools, std::shared_ptr<MCPToolHandler> handler,
                     std::shared_ptr<MCPTransport> transport)
    : info_(std::move(info)), tools_(std::move(tools)), handler_(std::move(handler)),
      transport_(std::move(transport)), toolList_(listing(tools_)) {
    for (std::size_t i = 0; i < tools_.size(); ++i)
        toolIndex_.emplace(tools_[i].name, i);
}

MCPServer::~MCPServer() {
    {
        std::lock_guard lock(mutex_);
        for (const auto& task : running_)
            task->stop.request_stop();
    }
    pool_.waitIdle();
}

std::string MCPServer::key(const JSON& id) {
    if (auto i = std::get_if<std::int64_t>(&id.value()))
        return "n:" + std::to_string(*i);
    if (auto d = std::get_if<double>(&id.value())) {
        char text[64];
        auto end = std::to_chars(text, text + sizeof text, *d).ptr; // shortest round trip
        return "n:" + std::string(text, end);
    }
    if (auto s = std::get_if<std::string>(&id.value()))
        return "s:" + *s;
    try {
        return "other:" + id.serialized();
    } catch (const std::exception&) {
        return "other:?";
    }
}

void MCPServer::serve() {
    for (const std::string& line : transport_->lines())
        receive(line);
    // Wind-down: every request still running is cancelled and awaited, including those whose
    // key a later request reused; each still writes its reply.
    {
        std::lock_guard lock(mutex_);
        for (const auto& task : running_)
            task->stop.request_stop();
    }
    pool_.waitIdle();
    std::lock_guard lock(mutex_);
    inFlight_.clear();
}

void MCPServer::receive(std::string_view line) {
    JSON value;
    try {
        value = JSON::parse(line);
    } catch (const JSON::ParseFailure& failure) {
        write(JSONRPCResponse::failure(JSON(), JSONRPCError::parseError(failure.what())));
        return;
    }
    if (auto batch = value.arrayValue()) {
        // A batch runs inside the read loop, one request after another, and is not cancellable.
        JSON::Array replies;
        for (const auto& element : *batch)
            if (auto reply = handle(JSONRPCMessage(element), std::stop_token()))
                replies.push_back(std::move(*reply));
        if (!replies.empty())
            write(JSON(std::move(replies)));
        return;
    }
    JSONRPCMessage message(value);
    if (auto request = std::get_if<JSONRPCMessage::Request>(&message.kind)) {
        start(std::move(*request));
        return;
    }
    if (auto reply = handle(message, std::stop_token()))
        write(*reply);
}

void MCPServer::start(JSONRPCMessage::Request request) {
    auto task = std::make_shared<Task>();
    std::string requestKey = key(request.id);
    {
        std::lock_guard lock(mutex_);
        auto [entry, inserted] = inFlight_.try_emplace(requestKey, task);
        if (!inserted) {
            entry->second->stop.request_stop();
            entry->second = task;
        }
        running_.insert(task);
    }
    // The pool is awaited before the server goes away, so the task may hold `this`.
    pool_.submit([this, task, requestKey = std::move(requestKey), request = std::move(request)]() mutable {
        JSONRPCMessage message(std::move(request));
        if (auto reply = handle(message, task->stop.get_token()))
            write(*reply);
        std::lock_guard lock(mutex_);
        // Only its own entry: after an id was reused, the entry belongs to the later request,
        // which must stay findable by notifications/cancelled.
        if (auto entry = inFlight_.find(requestKey); entry != inFlight_.end() && entry->second == task)
            inFlight_.erase(entry);
        running_.erase(task);
    });
}

std::optional<JSON> MCPServer::handle(const JSONRPCMessage& message, std::stop_token cancel) {
    return std::visit(
        [&](const auto& kind) -> std::optional<JSON> {
            using K = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<K, JSONRPCMessage::Request>) {
                try {
                    return JSONRPCResponse::result(kind.id, respond(kind.method, kind.params, cancel));
                } catch (const JSONRPCError& error) {
                    return JSONRPCResponse::failure(kind.id, error);
                } catch (...) {
                    auto error = JSONRPCError::internalError(describe(std::current_exception()));
                    return JSONRPCResponse::failure(kind.id, error);
                }
            } else if constexpr (std::is_same_v<K, JSONRPCMessage::Notification>) {
                if (kind.method == "notifications/cancelled" && kind.params) {
                    if (auto requestID = (*kind.params)["requestId"]) {
                        std::lock_guard lock(mutex_);
                        if (auto entry = inFlight_.find(key(*requestID)); entry != inFlight_.end())
                            entry->second->stop.request_stop();
                    }
                }
                return std::nullopt;
            } else if constexpr (std::is_same_v<K, JSONRPCMessage::Invalid>) {
                return JSONRPCResponse::failure(kind.id, kind.error);
            } else {
                return std::nullopt;
            }
        },
        message.kind);
}

JSON MCPServer::respond(const std::string& method, const std::optional<JSON>& params, std::stop_token cancel) {
    if (method == "initialize") {
        std::string_view version = preferredProtocolVersion;
        if (nonEmptyObject(params)) {
            auto candidate = nameText((*params)["protocolVersion"]);
            if (candidate && std::ranges::find(supportedProtocolVersions, *candidate) != supportedProtocolVersions.end())
                version = *std::ranges::find(supportedProtocolVersions, *candidate);
        }
        JSON::Object result;
        result.emplace("protocolVersion", version);
        result.emplace("capabilities", JSON::object({{"tools", JSON::object({{"listChanged", false}})}}));
        result.emplace("serverInfo", JSON::object({{"name", info_.name}, {"version", info_.version}}));
        if (info_.instructions)
            result.emplace("instructions", *info_.instructions);
        return JSON(std::move(result));
    }
    if (method == "ping")
        return JSON(JSON::Object{});
    if (method == "tools/list")
        return toolList_;
    if (method == "tools/call") {
        std::optional<std::string> name;
        if (nonEmptyObject(params))
            name = nameText((*params)["name"]);
        if (!name || name->empty())
            throw JSONRPCError::invalidParams("tools/call requires a tool name");
        if (!toolIndex_.contains(*name))
            throw JSONRPCError::invalidParams("Unknown tool: " + *name);
        JSON arguments{JSON::Object{}};
        if (auto given = (*params)["arguments"])
            arguments = given->isObject() ? *given : JSON();
        return handler_->callTool(*name, arguments, std::move(cancel)).payload();
    }
    throw JSONRPCError::methodNotFound(method);
}

void MCPServer::write(const JSON& reply) {
    std::string text;
    try {
        text = reply.serialized();
    } catch (const std::exception&) {
        return; // a reply that cannot be serialized is dropped
    }
    transport_->write(text);
}

} // namespace mcp
