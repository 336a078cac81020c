#include "Quillon/RecorderBridge.h"

#include "Quillon/ToolCatalogue.h"
#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/PrettyJSON.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "RecorderAutomation/Support/Failure.h"

#include <algorithm>

namespace quillon {
namespace {

using recorder::AutomationErrorCode;
using recorder::AutomationFailure;
using Session = recorder::RecorderAutomationSession;

constexpr const char* openAppHint = "Ask the user to open Lumora and enable local automation in settings.";

// A failure found while reading the arguments: answered as is, the session untouched.
struct ArgumentFailure {
    AutomationFailure failure;
};

// displayId and sessionId: a string as is, an integer as its decimal text, else absent.
std::optional<std::string> identifier(const mcp::JSON& arguments, const char* name) {
    auto value = arguments[name];
    if (value && (value->isString() || value->isInt())) return value->stringValue();
    return std::nullopt;
}

std::string requiredSessionID(const mcp::JSON& arguments) {
    auto sessionID = identifier(arguments, "sessionId");
    if (!sessionID) throw ArgumentFailure{{AutomationErrorCode::invalidRequest, "sessionId is required."}};
    return *sessionID;
}

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
        return {{run(*session, name, arguments, cancel, progress), false}, false};
    } catch (const ArgumentFailure& failure) {
        return {RecorderBridge::failure(failure.failure), false};
    } catch (...) {
        return mapError(std::current_exception(), session);
    }
}

std::string RecorderBridge::run(Session& session, const std::string& name, const mcp::JSON& arguments,
                                std::stop_token cancel, CallProgress* progress) {
    // Members are looked up only in an object; anything else has none.
    const mcp::JSON none;
    const mcp::JSON& given = arguments.isObject() ? arguments : none;

    if (name == ToolCatalogue::capabilities) return json(session.capabilities().toJSON());
    if (name == ToolCatalogue::listDisplays) return json(recorder::DisplaysPayload{session.displays()}.toJSON());
    if (name == ToolCatalogue::startRecording) {
        auto displayID = identifier(given, "displayId");
        if (!displayID || displayID->empty())
            throw ArgumentFailure{{AutomationErrorCode::invalidRequest, "displayId is required."}};
        recorder::StartParameters parameters;
        parameters.source = recorder::SourceReference{recorder::SourceKind::display, *displayID};
        if (auto duration = given["durationSeconds"]) parameters.durationSeconds = duration->intValue();
        if (auto audio = given["systemAudio"]) parameters.systemAudio = audio->boolValue().value_or(false);
        return json(session.start(parameters).toJSON());
    }
    if (name == ToolCatalogue::recordingStatus) return json(session.status(identifier(given, "sessionId")).toJSON());
    if (name == ToolCatalogue::stopRecording) return json(session.stop(requiredSessionID(given)).toJSON());
    if (name == ToolCatalogue::recordingResult) {
        std::string sessionID = requiredSessionID(given);
        auto seconds = given["waitSeconds"];
        if (auto wait = seconds ? resultWait(*seconds) : std::nullopt) {
            std::function<void(const recorder::ResultPayload&)> pending;
            if (progress)
                pending = [progress, limit = *wait](const recorder::ResultPayload& payload) {
                    progress->update("Recording",
                                     std::string(recorder::automation_session_state::rawValue(payload.state)), limit);
                };
            return json(session.waitForResult(sessionID, *wait, std::move(cancel), pending).toJSON());
        }
        return json(session.result(sessionID).toJSON());
    }
    throw ArgumentFailure{{AutomationErrorCode::invalidRequest, "Unknown tool " + name + "."}};
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
