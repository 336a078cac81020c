#include "vantor/Commands.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <string>

#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "RecorderAutomation/Setup/AutomationSetupInstructions.h"
#include "vantor/DecimalInteger.h"

namespace vantor {
namespace {

using recorder::AutomationErrorCode;
using recorder::AutomationFailure;
using Session = recorder::RecorderAutomationSession;

// How long "result --wait" waits without a usable "--timeout": an hour's recording and a minute.
constexpr double defaultResultWait = 3660;
// Added to a started recording's own limit for "start --wait", for stopping and saving.
constexpr double finishingAllowance = 60;

// The start parameters from the options, checked in order: display, duration.
Result<recorder::StartParameters> startParameters(const Arguments& arguments) {
    recorder::StartParameters parameters;
    const auto display = arguments.option("display");
    if (!display) return UsageError{};
    parameters.source = recorder::SourceReference{recorder::SourceKind::display, *display};
    if (const auto duration = arguments.option("duration")) {
        const auto seconds = parseDecimalInteger(*duration);
        if (!seconds) return UsageError{};
        parameters.durationSeconds = *seconds;
    }
    parameters.systemAudio = arguments.hasFlag("system-audio");
    return parameters;
}

// "request-id", verbatim. The wire carries UTF-8 only. Other bytes would be replaced on the way,
// the app would echo an identifier that is not ours, and its recording would run while vantor
// reported a failed connection; so such an identifier is a malformed option.
Result<std::optional<std::string>> startRequestID(const Arguments& arguments) {
    auto requestID = arguments.option("request-id");
    if (requestID) {
        try {
            (void)nlohmann::json(*requestID).dump();
        } catch (const nlohmann::json::exception&) {
            return UsageError{};
        }
    }
    return requestID;
}

double resultWaitTimeout(const Arguments& arguments) {
    if (const auto text = arguments.option("timeout"))
        if (const auto seconds = parseDecimalInteger(*text)) return double(*seconds);
    return defaultResultWait;
}

// The printed outcome of a session operation, or the outcome its failure ended with.
template <class Value>
Outcome printed(CommandExecution& execution, const Result<Value>& reply) {
    return reply ? execution.printed(*reply) : reply.ending();
}

Outcome capabilities(CommandExecution& execution) {
    return printed(execution, execution.perform([](Session& s) { return s.capabilities(); }));
}

Outcome displays(CommandExecution& execution) {
    return printed(execution, execution.perform([](Session& s) { return recorder::DisplaysPayload{s.displays()}; }));
}

Outcome start(CommandExecution& execution) {
    const auto parameters = startParameters(execution.arguments());
    if (!parameters) return parameters.ending();
    const auto requestID = startRequestID(execution.arguments());
    if (!requestID) return requestID.ending();
    const auto receipt = execution.perform([&](Session& s) { return s.start(*parameters, *requestID); });
    if (!receipt || !execution.arguments().hasFlag("wait")) return printed(execution, receipt);
    const double timeout = double(receipt->durationLimitSeconds) + finishingAllowance;
    const auto result = execution.perform([&](Session& s) { return s.waitForResult(receipt->sessionID, timeout); });
    return result ? execution.finished(*result) : result.ending();
}

Outcome status(CommandExecution& execution) {
    const auto sessionID = execution.arguments().option("session");
    return printed(execution, execution.perform([&](Session& s) { return s.status(sessionID); }));
}

Outcome stop(CommandExecution& execution) {
    const auto sessionID = execution.arguments().option("session");
    if (!sessionID) return UsageError{};
    return printed(execution, execution.perform([&](Session& s) { return s.stop(*sessionID); }));
}

Outcome result(CommandExecution& execution) {
    const auto sessionID = execution.arguments().option("session");
    if (!sessionID) return UsageError{};
    if (execution.arguments().hasFlag("wait")) {
        const double timeout = resultWaitTimeout(execution.arguments());
        const auto result = execution.perform([&](Session& s) { return s.waitForResult(*sessionID, timeout); });
        return result ? execution.finished(*result) : result.ending();
    }
    // A failed recording is still a result: printed as a success, status 0.
    return printed(execution, execution.perform([&](Session& s) { return s.result(*sessionID); }));
}

// Prints the host setup texts; needs no connection and launches nothing. The app is located
// before the format is read, so a bundle that cannot be found is told first.
Outcome setup(CommandExecution& execution) {
    std::optional<recorder::RecorderAppLocator> locator;
    try {
        locator = execution.locate();
    } catch (const std::exception& error) {
        return execution.fail(AutomationFailure(AutomationErrorCode::appUnavailable,
                                                std::string("The recorder app could not be located: ") + error.what()),
                              ExitCode::connectionFailed);
    }
    const auto helper = (locator->appURL() / "Contents" / "Helpers" / "Quillon").string();
    const recorder::AutomationSetupInstructions instructions(
        helper, std::string(recorder::AutomationSetupInstructions::defaultServerName), "Lumora");
    const std::string format = execution.arguments().option("format").value_or("prompt");
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
        return UsageError{};
    }
    execution.out().write(text);
    return ExitCode::ok;
}

constexpr std::array rows = {
    Command{"capabilities", "capabilities                      app, permission readiness, limits", true, capabilities},
    Command{"displays", "displays                          connected displays with IDs", true, displays},
    Command{"start", "start --display <id> [--duration <seconds>] [--system-audio] [--wait] [--request-id <id>]", true,
            start},
    Command{"status", "status [--session <id>]           current session, or one automated session", true, status},
    Command{"stop", "stop --session <id>               finalize an automated session", true, stop},
    Command{"result", "result --session <id> [--wait] [--timeout <seconds>]", true, result},
    Command{"setup", "setup [--format prompt|json|commands]   text to connect an AI host to this app", false, setup},
};

}  // namespace

std::span<const Command> commands() { return rows; }

const Command* findCommand(std::string_view name) {
    const auto found = std::find_if(rows.begin(), rows.end(), [&](const Command& row) { return row.name == name; });
    return found == rows.end() ? nullptr : &*found;
}

}  // namespace vantor
