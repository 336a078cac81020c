#pragma once
// The join between the MCP layer and the automation session: each tool call becomes one session
// operation and one text result, whatever happens on the way.

#include "Quillon/CallProgress.h"
#include "QuillonServer/MCPToolHandler.h"
#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Client/RecorderAppLocator.h"
#include "RecorderAutomation/Client/RecorderAutomationSession.h"
#include "RecorderAutomation/Protocol/AutomationFailure.h"

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>

namespace quillon {

// Quillon's tool handler: makes sure Lumora runs and answers, turns each tool call into one
// session operation and the reply (or the failure) into a JSON text. Nothing is thrown to the
// MCP layer; when the session's connection turns out to be dead it reconnects and repeats the
// call once.
class RecorderBridge : public mcp::MCPToolHandler {
public:
    // How a connection is obtained: normally the locator's ensureRunning with 20 seconds.
    // `launching` is called when Lumora has to be launched first.
    using Connect = std::function<recorder::AutomationClient(std::stop_token, const std::function<void()>& launching)>;
    using PlainConnect = std::function<recorder::AutomationClient(std::stop_token)>;

    static constexpr double launchTimeoutSeconds = 20;
    static constexpr std::int64_t maximumWaitSeconds = 3660;

    explicit RecorderBridge(recorder::RecorderAppLocator locator);
    explicit RecorderBridge(Connect connect);
    explicit RecorderBridge(PlainConnect connect);  // one that never reports a launch

    // Reports progress while Lumora is launched and while a result is waited for, when the host
    // asked for it.
    mcp::MCPToolResult callTool(const std::string& name, const mcp::JSON& arguments,
                                const mcp::MCPRequestContext& context) override;

    struct Attempt {
        mcp::MCPToolResult result;
        bool retryAfterReconnect = false;
    };
    Attempt perform(const std::string& name, const mcp::JSON& arguments, std::stop_token cancel,
                    CallProgress* progress = nullptr);

    // The stored session, creating it (and perhaps launching Lumora) when there is none.
    std::shared_ptr<recorder::RecorderAutomationSession> connected(std::stop_token cancel,
                                                                   CallProgress* progress = nullptr);
    bool hasSession() const;

    // The wait asked for by a waitSeconds value: its integer reading capped at 3660 seconds,
    // nothing when absent, unreadable, zero or negative.
    static std::optional<double> resultWait(const mcp::JSON& waitSeconds);
    // Pretty-printed JSON text of an automation value; "{}" if it cannot be written.
    static std::string json(const nlohmann::json& value);
    static mcp::MCPToolResult failure(const recorder::AutomationFailure& failure);

private:
    // The tool's row run on the session: its reply, or the failure found in the arguments.
    mcp::MCPToolResult run(recorder::RecorderAutomationSession& session, const std::string& name,
                           const mcp::JSON& arguments, std::stop_token cancel, CallProgress* progress);
    Attempt mapError(std::exception_ptr error, const std::shared_ptr<recorder::RecorderAutomationSession>& used);
    void drop(const std::shared_ptr<recorder::RecorderAutomationSession>& used);

    const Connect connect_;
    mutable std::mutex mutex_;  // guards session_ only; never held across I/O or waits
    std::shared_ptr<recorder::RecorderAutomationSession> session_;
};

}  // namespace quillon
