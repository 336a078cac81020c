#pragma once

#include "QuillonServer/JSON.h"
#include "QuillonServer/JSONRPCMessage.h"
#include "QuillonServer/MCPTool.h"
#include "QuillonServer/MCPToolHandler.h"
#include "QuillonServer/MCPTransport.h"
#include "QuillonServer/TaskPool.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mcp {

// The MCP protocol engine: reads JSON-RPC lines from a transport, serves initialize, ping,
// tools/list and tools/call, honours notifications/cancelled, runs every single request as a task
// of its own and writes each reply back through the same transport.
class MCPServer {
public:
    struct Info {
        std::string name;
        std::string version;
        std::optional<std::string> instructions;
        bool operator==(const Info&) const = default;
    };

    static constexpr std::array<std::string_view, 4> supportedProtocolVersions{
        "2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"};
    static constexpr std::string_view preferredProtocolVersion = "2025-06-18";

    MCPServer(Info info, std::vector<MCPTool> tools, std::shared_ptr<MCPToolHandler> handler,
              std::shared_ptr<MCPTransport> transport);
    ~MCPServer(); // cancels and awaits whatever still runs
    MCPServer(const MCPServer&) = delete;
    MCPServer& operator=(const MCPServer&) = delete;

    // Consumes the transport's lines until they end, then cancels every request still running,
    // waits for all of them (their replies are still written) and returns.
    void serve();

    // The in-flight key of a request id: "n:7", "n:7.5", "s:7", "other:<compact JSON>".
    static std::string key(const JSON& id);

private:
    struct Task {
        std::stop_source stop;
    };

    void receive(std::string_view line);
    std::optional<JSON> handle(const JSONRPCMessage& message, std::stop_token cancel);
    JSON respond(const std::string& method, const std::optional<JSON>& params, std::stop_token cancel);
    void start(JSONRPCMessage::Request request);
    void write(const JSON& reply);

    const Info info_;
    const std::vector<MCPTool> tools_;
    const std::shared_ptr<MCPToolHandler> handler_;
    const std::shared_ptr<MCPTransport> transport_;
    const JSON toolList_; // the "tools/list" result, built once
    std::unordered_map<std::string, std::size_t> toolIndex_;

    std::mutex mutex_; // guards inFlight_ and running_
    std::map<std::string, std::shared_ptr<Task>> inFlight_;
    std::set<std::shared_ptr<Task>> running_; // also requests whose key a later one reused
    TaskPool pool_;                            // last: destroyed (and awaited) first
};

} // namespace mcp
