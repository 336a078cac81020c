#pragma once
// The MCP server: the protocol and its threads, apart from any tool, so that Quillon only supplies
// a catalogue and a handler.

#include "QuillonServer/JSON.h"
#include "QuillonServer/JSONRPCMessage.h"
#include "QuillonServer/MCPRequestContext.h"
#include "QuillonServer/MCPTool.h"
#include "QuillonServer/MCPToolHandler.h"
#include "QuillonServer/MCPTransport.h"
#include "QuillonServer/TaskPool.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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
// of its own and writes each reply back through the same transport. A tools/call that carries a
// progress token may send notifications/progress while it runs.
//
// Threads: the thread that reads a request runs it and writes its reply, so a request costs no
// hand-off between threads. While a tools/call runs, a timer is armed; when it finds a call that
// has lasted callHandOffDelay, a standby thread takes over reading, so that cancellations and
// further requests are read while the call waits. The timer is not disarmed when a call ends: one
// arming serves a stream of short calls, and an expiry that finds a younger call re-arms for the
// rest of its delay.
class MCPServer {
public:
    struct Info {
        std::string name;
        std::string version;
        std::optional<std::string> instructions;
        bool operator==(const Info&) const = default;
    };

    static constexpr std::array<std::string_view, 4> supportedProtocolVersions{"2025-11-25", "2025-06-18", "2025-03-26",
                                                                               "2024-11-05"};
    static constexpr std::string_view preferredProtocolVersion = "2025-06-18";
    // How long a tools/call may keep the reading thread before another thread reads on.
    static constexpr std::chrono::microseconds callHandOffDelay{1000};

    // The tools, asked for once, at the first "tools/list" or "tools/call": building them is then
    // no part of the time to the first reply.
    struct Catalogue {
        explicit Catalogue(std::function<std::vector<MCPTool>()> read) : read(std::move(read)) {}
        std::function<std::vector<MCPTool>()> read;
    };

    // Throws std::system_error when the hand-off timer cannot be created (no descriptor left).
    MCPServer(Info info, std::vector<MCPTool> tools, std::shared_ptr<MCPToolHandler> handler,
              std::shared_ptr<MCPTransport> transport);
    MCPServer(Info info, Catalogue catalogue, std::shared_ptr<MCPToolHandler> handler,
              std::shared_ptr<MCPTransport> transport);
    ~MCPServer();  // cancels and awaits whatever still runs
    MCPServer(const MCPServer&) = delete;
    MCPServer& operator=(const MCPServer&) = delete;

    // Consumes the transport's lines until they end, then cancels every request still running,
    // waits for all of them (their replies are still written) and returns. The calling thread is
    // the first to read and run requests.
    void serve();

    // The in-flight key of a request id: "n:7", "n:7.5", "s:7", "other:<compact JSON>".
    static std::string key(const JSON& id);

private:
    struct Task {
        std::stop_source stop;
        std::optional<JSON> progressToken;  // the host's, when it asked for progress
        std::mutex progress;                // held while a notification of this request is written
        bool open = true;                   // false once the reply is due or the request is cancelled
        std::optional<double> lastProgress;
        void close();
        void cancel();  // closes, then requests the stop
    };

    void lead();
    bool receive(std::string_view line);  // false when another thread took over reading meanwhile
    bool run(JSONRPCMessage::Request request);
    // The reply's text, written straight from the result rather than through a value of the whole
    // reply; nothing for a notification or a reply. When the reply has no JSON text (a non-finite
    // number), throws once the message is dealt with, and the reply is dropped.
    std::optional<std::string> handle(const JSONRPCMessage& message, const std::shared_ptr<Task>& task);
    // Appends the request's result text to `out`; throws JSONRPCError, or the handler's exception.
    void respond(const std::string& method, const std::optional<JSON>& params, const MCPRequestContext& context,
                 std::string& out);
    MCPRequestContext context(const std::shared_ptr<Task>& task) const;
    void standBy();
    void endOfInput();
    void arm(std::chrono::nanoseconds delay);  // zero disarms; lock held
    void write(const std::string& reply);

    void readCatalogue();  // once, before tools_ and toolIndex_ are used

    const Info info_;
    std::function<std::vector<MCPTool>()> catalogue_;
    const std::shared_ptr<MCPToolHandler> handler_;
    const std::shared_ptr<MCPTransport> transport_;
    std::once_flag catalogueRead_;
    std::vector<MCPTool> tools_;
    std::unordered_map<std::string, std::size_t> toolIndex_;
    std::once_flag toolListBuilt_;
    std::string toolList_;  // the "tools/list" result's text, built once
    int timer_ = -1;        // timerfd that wakes the standby reader

    std::mutex mutex_;  // guards everything below but the pool
    std::condition_variable ended_;
    std::map<std::string, std::shared_ptr<Task>> inFlight_;
    std::set<std::shared_ptr<Task>> running_;          // also requests whose key a later one reused
    bool leaderInCall_ = false;                        // the reading thread runs a call and nobody reads
    std::chrono::steady_clock::time_point callBegan_;  // of the reading thread's current call
    bool timerArmed_ = false;                          // the hand-off timer will expire
    std::uint64_t term_ = 0;                           // counts take-overs of reading
    bool standby_ = false;                             // a standby thread waits on the timer
    bool endOfInput_ = false;
    TaskPool pool_;  // last: destroyed (and awaited) first
};

}  // namespace mcp
