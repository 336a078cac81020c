#include "vantor/CommandExecution.h"

#include "RecorderAutomation/Platform/EmbeddedInfoPlist.h"

namespace vantor {

using recorder::AutomationErrorCode;
using recorder::AutomationFailure;
using recorder::RecorderAppLocator;
using recorder::RecorderAutomationSession;

namespace {
constexpr const char* openAppHint = "Open Lumora, enable local automation in its settings, and try again.";
}  // namespace

CommandExecution::CommandExecution(const Arguments& arguments, const Invocation& invocation)
    : arguments_(arguments), invocation_(invocation) {}

RecorderAppLocator CommandExecution::locate() const {
    if (arguments_.app) return RecorderAppLocator::forBundle(*arguments_.app);
    if (invocation_.recorderApp) return RecorderAppLocator::forBundle(*invocation_.recorderApp);
    return RecorderAppLocator::containing(invocation_.executable, recorder::platform::embeddedInfoDictionary());
}

Outcome CommandExecution::fail(const AutomationFailure& failure, ExitCode code) const {
    emit(ErrorDocument{failure}, out());
    return code;
}

std::optional<Outcome> CommandExecution::connect() {
    try {
        auto locator = locate();
        session_.emplace(locator.ensureRunning(connectionTimeout));
        return std::nullopt;
    } catch (const RecorderAppLocator::Failure& failure) {
        if (failure.is<RecorderAppLocator::RunningButUnreachable>()) {
            return fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                                          "Lumora is running, but this process cannot reach its automation socket.",
                                          "Check that \"Allow local automation\" is on in Lumora settings. If your AI "
                                          "app runs commands in a restricted environment, allow this command to reach "
                                          "Lumora's local connection."),
                        ExitCode::connectionFailed);
        }
        return fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                                      "Lumora could not be reached: " + failure.description(), openAppHint),
                    ExitCode::connectionFailed);
    } catch (const std::exception& error) {
        return fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                                      std::string("Lumora could not be reached: ") + error.what(), openAppHint),
                    ExitCode::connectionFailed);
    }
}

Outcome CommandExecution::failed(const std::exception& error) const {
    if (const auto* failure = dynamic_cast<const RecorderAutomationSession::Failure*>(&error)) {
        if (const auto* rejected = failure->as<RecorderAutomationSession::Rejected>()) {
            // The app's own code, message and hint, unchanged.
            return fail(rejected->failure, exitStatus(rejected->failure.code));
        }
        if (failure->is<RecorderAutomationSession::WaitTimedOut>()) {
            return fail(
                AutomationFailure(AutomationErrorCode::timeout, "Timed out waiting for the recording to finish."),
                ExitCode::connectionFailed);
        }
    }
    // Every component's failure gives its case form as what().
    return fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                                  std::string("Connection to Lumora failed: ") + error.what()),
                ExitCode::connectionFailed);
}

Outcome CommandExecution::finished(const recorder::ResultPayload& result) const {
    emit(result, out());
    return result.failure ? exitStatus(result.failure->code) : ExitCode::ok;
}

}  // namespace vantor
