#include "vantor/CommandExecution.h"

#include <iostream>
#include <nlohmann/json.hpp>
#include <utility>

#include "RecorderAutomation/Platform/EmbeddedInfoPlist.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/StatusParameters.h"
#include "RecorderAutomation/Setup/AutomationSetupInstructions.h"
#include "vantor/DecimalInteger.h"
#include "vantor/Output.h"
#include "vantor/UsageText.h"

namespace vantor {

using recorder::AutomationErrorCode;
using recorder::AutomationFailure;
using recorder::RecorderAppLocator;
using recorder::RecorderAutomationSession;

namespace {
std::string describe(const std::exception& error) { return error.what(); }
}  // namespace

CommandExecution::CommandExecution(const Arguments& arguments, const Invocation& invocation)
    : arguments_(arguments), invocation_(invocation) {}

RecorderAppLocator CommandExecution::locate() const {
    if (arguments_.app) return RecorderAppLocator::forBundle(*arguments_.app);
    if (invocation_.recorderApp) return RecorderAppLocator::forBundle(*invocation_.recorderApp);
    return RecorderAppLocator::containing(invocation_.executable, recorder::platform::embeddedInfoDictionary());
}

void CommandExecution::fail(const AutomationFailure& failure, ExitCode code) const {
    emit(ErrorDocument{failure}, *invocation_.out);
    throw Termination{code};
}

ExitCode CommandExecution::setup() const {
    std::optional<RecorderAppLocator> locator;
    try {
        locator = locate();
    } catch (const std::exception& error) {
        fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                               "The recorder app could not be located: " + describe(error)),
             ExitCode::connectionFailed);
    }
    const auto helper = (locator->appURL() / "Contents" / "Helpers" / "Quillon").string();
    const recorder::AutomationSetupInstructions instructions(
        helper, std::string(recorder::AutomationSetupInstructions::defaultServerName), "Lumora");
    const std::string format = arguments_.option("format").value_or("prompt");
    std::string text;
    if (format == "prompt") {
        text = instructions.assistantPrompt() + "\n";
    } else if (format == "json") {
        text = instructions.jsonConfiguration() + "\n";
    } else if (format == "commands") {
        text = instructions.codexCommand() + "\n" + instructions.claudeCodeCommand() + "\n" +
               instructions.vsCodeCommand() + "\n";
        if (const auto link = instructions.cursorInstallLink()) text += *link + "\n";
    } else {
        throw Usage();
    }
    invocation_.out->write(text.data(), std::streamsize(text.size()));
    invocation_.out->flush();
    return ExitCode::ok;
}

void CommandExecution::connect() {
    try {
        auto locator = locate();
        session_.emplace(locator.ensureRunning(connectionTimeout));
    } catch (const RecorderAppLocator::Failure& failure) {
        if (failure.is<RecorderAppLocator::RunningButUnreachable>()) {
            fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                                   "Lumora is running, but this process cannot reach its automation socket.",
                                   "Check that \"Allow local automation\" is on in Lumora settings. If your AI app "
                                   "runs commands in a restricted environment, allow this command to reach Lumora's "
                                   "local connection."),
                 ExitCode::connectionFailed);
        }
        fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                               "Lumora could not be reached: " + failure.description(),
                               "Open Lumora, enable local automation in its settings, and try again."),
             ExitCode::connectionFailed);
    } catch (const std::exception& error) {
        fail(AutomationFailure(AutomationErrorCode::appUnavailable, "Lumora could not be reached: " + describe(error),
                               "Open Lumora, enable local automation in its settings, and try again."),
             ExitCode::connectionFailed);
    }
}

template <class Operation>
auto CommandExecution::perform(Operation&& operation) {
    try {
        return std::forward<Operation>(operation)(*session_);
    } catch (const RecorderAutomationSession::Failure& failure) {
        if (const auto* rejected = failure.as<RecorderAutomationSession::Rejected>()) {
            // The app's own code, message and hint, unchanged.
            fail(rejected->failure, exitStatus(rejected->failure.code));
        }
        if (failure.is<RecorderAutomationSession::WaitTimedOut>()) {
            fail(AutomationFailure(AutomationErrorCode::timeout, "Timed out waiting for the recording to finish."),
                 ExitCode::connectionFailed);
        }
        fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                               "Connection to Lumora failed: " + failure.description()),
             ExitCode::connectionFailed);
    } catch (const std::exception& error) {
        fail(AutomationFailure(AutomationErrorCode::appUnavailable, "Connection to Lumora failed: " + describe(error)),
             ExitCode::connectionFailed);
    }
}

recorder::StartParameters CommandExecution::startParameters(const Arguments& arguments) {
    recorder::StartParameters parameters;
    const auto display = arguments.option("display");
    if (!display) throw Usage();
    parameters.source = recorder::SourceReference{recorder::SourceKind::display, *display};
    if (const auto duration = arguments.option("duration")) {
        const auto seconds = parseDecimalInteger(*duration);
        if (!seconds) throw Usage();
        parameters.durationSeconds = *seconds;
    }
    parameters.systemAudio = arguments.hasFlag("system-audio");
    return parameters;
}

std::optional<std::string> CommandExecution::startRequestID(const Arguments& arguments) {
    auto requestID = arguments.option("request-id");
    // The wire carries UTF-8 only. Other bytes would be replaced on the way, the app would
    // echo an identifier that is not ours, and its recording would run while vantor reported
    // a failed connection; so such an identifier is a malformed option.
    if (requestID) {
        try {
            (void)nlohmann::json(*requestID).dump();
        } catch (const nlohmann::json::exception&) {
            throw Usage();
        }
    }
    return requestID;
}

double CommandExecution::resultWaitTimeout(const Arguments& arguments) {
    if (const auto text = arguments.option("timeout"))
        if (const auto seconds = parseDecimalInteger(*text)) return double(*seconds);
    return defaultResultWait;
}

ExitCode CommandExecution::finished(const recorder::ResultPayload& result) const {
    emit(result, *invocation_.out);
    return result.failure ? exitStatus(result.failure->code) : ExitCode::ok;
}

ExitCode CommandExecution::dispatch() {
    const std::string& command = *arguments_.command;
    std::ostream& out = *invocation_.out;
    if (command == "capabilities") {
        emit(perform([](auto& s) { return s.capabilities(); }), out);
        return ExitCode::ok;
    }
    if (command == "displays") {
        emit(recorder::DisplaysPayload{perform([](auto& s) { return s.displays(); })}, out);
        return ExitCode::ok;
    }
    if (command == "start") {
        const auto parameters = startParameters(arguments_);
        const auto requestID = startRequestID(arguments_);
        const auto receipt = perform([&](auto& s) { return s.start(parameters, requestID); });
        if (!arguments_.hasFlag("wait")) {
            emit(receipt, out);
            return ExitCode::ok;
        }
        const double timeout = double(receipt.durationLimitSeconds) + finishingAllowance;
        return finished(perform([&](auto& s) { return s.waitForResult(receipt.sessionID, timeout); }));
    }
    if (command == "status") {
        const auto sessionID = arguments_.option("session");
        emit(perform([&](auto& s) { return s.status(sessionID); }), out);
        return ExitCode::ok;
    }
    if (command == "stop") {
        const auto sessionID = arguments_.option("session");
        if (!sessionID) throw Usage();
        emit(perform([&](auto& s) { return s.stop(*sessionID); }), out);
        return ExitCode::ok;
    }
    if (command == "result") {
        const auto sessionID = arguments_.option("session");
        if (!sessionID) throw Usage();
        if (arguments_.hasFlag("wait")) {
            const double timeout = resultWaitTimeout(arguments_);
            return finished(perform([&](auto& s) { return s.waitForResult(*sessionID, timeout); }));
        }
        // A failed recording is still a result: printed as a success, status 0.
        emit(perform([&](auto& s) { return s.result(*sessionID); }), out);
        return ExitCode::ok;
    }
    throw Usage();
}

}  // namespace vantor
