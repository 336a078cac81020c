#include "Quillon/RecorderBridge.h"

#include "Quillon/ToolCatalogue.h"
#include "RecorderAutomation/Protocol/PrettyJSON.h"
#include "RecorderAutomation/Support/Failure.h"

#include <algorithm>
#include <variant>

namespace quillon {
namespace {

using recorder::AutomationErrorCode;
using recorder::AutomationFailure;
using Session = recorder::RecorderAutomationSession;

constexpr const char* openAppHint = "Ask the user to open Lumora and enable local automation in settings.";

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();  // every component's Failure gives its case form here
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

RecorderBridge::RecorderBridge(recorder::RecorderAppLocator locator)
    : RecorderBridge(
          Connect([locator = std::move(locator)](std::stop_token cancel, const std::function<void()>& launching) {
              return locator.ensureRunning(launchTimeoutSeconds, std::move(cancel), launching);
          })) {}

RecorderBridge::RecorderBridge(Connect connect) : connect_(std::move(connect)) {}

RecorderBridge::RecorderBridge(PlainConnect connect)
    : connect_([connect = std::move(connect)](std::stop_token cancel, const std::function<void()>&) {
          return connect(std::move(cancel));
      }) {}

mcp::MCPToolResult RecorderBridge::callTool(const std::string& name, const mcp::JSON& arguments,
                                            const mcp::MCPRequestContext& context) {
    // Destroyed before the result is returned, so its last report precedes the reply.
    CallProgress progress(context);
    auto first = perform(name, arguments, context.cancellation(), &progress);
    if (!first.retryAfterReconnect) return first.result;
    return perform(name, arguments, context.cancellation(), &progress).result;  // never a third attempt
}

bool RecorderBridge::hasSession() const {
    std::lock_guard lock(mutex_);
    return session_ != nullptr;
}

std::shared_ptr<Session> RecorderBridge::connected(std::stop_token cancel, CallProgress* progress) {
    {
        std::lock_guard lock(mutex_);
        if (session_) return session_;
    }
    std::function<void()> launching;
    if (progress) launching = [progress] { progress->update("Lumora", "starting", launchTimeoutSeconds); };
    // Two calls that both find no session may both connect; the one stored last remains.
    auto session = std::make_shared<Session>(connect_(std::move(cancel), launching));
    std::lock_guard lock(mutex_);
    session_ = session;
    return session;
}

RecorderBridge::Attempt RecorderBridge::perform(const std::string& name, const mcp::JSON& arguments,
                                                std::stop_token cancel, CallProgress* progress) {
    std::shared_ptr<Session> session;
    try {
        session = connected(cancel, progress);
        return {run(*session, name, arguments, cancel, progress), false};
    } catch (...) {
        return mapError(std::current_exception(), session);
    }
}

mcp::MCPToolResult RecorderBridge::run(Session& session, const std::string& name, const mcp::JSON& arguments,
                                       std::stop_token cancel, CallProgress* progress) {
    const auto* tool = ToolCatalogue::find(name);
    if (!tool) return failure({AutomationErrorCode::invalidRequest, "Unknown tool " + name + "."});
    // Members are looked up only in an object; anything else has none.
    const mcp::JSON none;
    const auto outcome =
        tool->operation({session, arguments.isObject() ? arguments : none, std::move(cancel), progress});
    if (const auto* rejected = std::get_if<AutomationFailure>(&outcome)) return failure(*rejected);
    return {json(std::get<nlohmann::json>(outcome)), false};
}

void RecorderBridge::drop(const std::shared_ptr<Session>& used) {
    std::lock_guard lock(mutex_);
    // A session another call has made meanwhile is not this call's to drop.
    if (!used || session_ == used) session_.reset();
}

RecorderBridge::Attempt RecorderBridge::mapError(std::exception_ptr error, const std::shared_ptr<Session>& used) {
    try {
        std::rethrow_exception(error);
    } catch (const Session::Failure& failure) {
        if (auto rejected = failure.as<Session::Rejected>()) return {RecorderBridge::failure(rejected->failure), false};
        if (failure.is<Session::WaitTimedOut>())
            return {RecorderBridge::failure({AutomationErrorCode::timeout, "The recording has not finished yet.",
                                             "Call recorder_recording_result again, or stop the session."}),
                    false};
        if (auto client = failure.as<Session::Client>()) {
            bool hadSession = hasSession();
            drop(used);
            bool retry = hadSession && client->failure.is<recorder::AutomationClient::NotRunning>();
            return {
                RecorderBridge::failure({AutomationErrorCode::appUnavailable,
                                         "Lumora could not be reached: " + client->failure.description(), openAppHint}),
                retry};
        }
    } catch (const recorder::CancellationError&) {
        return {RecorderBridge::failure({AutomationErrorCode::timeout, "The request was cancelled by the host."}),
                false};
    } catch (const recorder::RecorderAppLocator::Failure& failure) {
        if (failure.is<recorder::RecorderAppLocator::RunningButUnreachable>()) {
            drop(used);
            return {
                RecorderBridge::failure(
                    {AutomationErrorCode::appUnavailable,
                     "Lumora is running, but this helper cannot reach its automation socket.",
                     "Ask the user to confirm \"Allow local automation\" is on in Lumora settings. If your AI app "
                     "runs tools in a restricted environment, allow this helper to reach Lumora's local connection."}),
                false};
        }
    } catch (...) {
    }
    drop(used);
    return {RecorderBridge::failure(
                {AutomationErrorCode::appUnavailable, "Lumora could not be reached: " + describe(error), openAppHint}),
            false};
}

std::optional<double> RecorderBridge::resultWait(const mcp::JSON& waitSeconds) {
    auto wait = waitSeconds.intValue();
    if (!wait || *wait <= 0) return std::nullopt;
    return static_cast<double>(std::min(*wait, maximumWaitSeconds));
}

std::string RecorderBridge::json(const nlohmann::json& value) {
    try {
        return recorder::PrettyJSON::write(value);
    } catch (const std::exception&) {
        return "{}";
    }
}

mcp::MCPToolResult RecorderBridge::failure(const AutomationFailure& failure) {
    return {json(nlohmann::json{{"error", failure.toJSON()}}), true};
}

}  // namespace quillon
