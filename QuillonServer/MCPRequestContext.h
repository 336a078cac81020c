#pragma once
// What a tool handler gets about its request (cancellation and progress), so that handlers never
// see the server or the transport.

#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace mcp {

// One progress report for a request: `progress` must grow from one report to the next;
// `total` when the length of the work is known.
struct MCPProgress {
    double progress = 0;
    std::optional<double> total;
    std::string message;
    bool operator==(const MCPProgress&) const = default;
};

// What a handler is given about the request it serves: the request's cancellation, and a way to
// tell the host how the work goes. The server drops every report that comes when the host asked
// for none (no progress token), after the request's cancellation, after its reply, or whose
// progress does not exceed the last one sent, so a handler may report freely from any thread.
class MCPRequestContext {
public:
    using Reporter = std::function<void(const MCPProgress&)>;

    // A request whose host asked for no progress (implicit, so that a stop token will do).
    MCPRequestContext(std::stop_token cancel = {}) : cancel_(std::move(cancel)) {}
    MCPRequestContext(std::stop_token cancel, Reporter reporter)
        : cancel_(std::move(cancel)), reporter_(std::move(reporter)) {}

    const std::stop_token& cancellation() const noexcept { return cancel_; }
    // Whether the host asked for progress of this request.
    bool wantsProgress() const noexcept { return static_cast<bool>(reporter_); }
    void reportProgress(const MCPProgress& progress) const {
        if (reporter_) reporter_(progress);
    }

private:
    std::stop_token cancel_;
    Reporter reporter_;
};

}  // namespace mcp
