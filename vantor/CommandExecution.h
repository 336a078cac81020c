#pragma once
// What each command does once the command line is understood: locating and reaching the app,
// one session operation (or start or result and then a wait), one printed document.

#include <optional>
#include <string>

#include "RecorderAutomation/Client/RecorderAppLocator.h"
#include "RecorderAutomation/Client/RecorderAutomationSession.h"
#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "vantor/Arguments.h"
#include "vantor/ExitCode.h"
#include "vantor/Invocation.h"

namespace vantor {

class CommandExecution {
public:
    // Thrown once a failure document has been printed: the run ends with `code`.
    struct Termination {
        ExitCode code;
    };

    static constexpr double connectionTimeout = 20;
    // How long "result --wait" waits without a usable "--timeout": an hour's recording and a minute.
    static constexpr double defaultResultWait = 3660;
    // Added to a started recording's own limit for "start --wait", for stopping and saving.
    static constexpr double finishingAllowance = 60;

    CommandExecution(const Arguments& arguments, const Invocation& invocation);

    // From --app, else RECORDER_APP, else the bundle around vantor's own executable.
    recorder::RecorderAppLocator locate() const;

    // Prints the host setup texts; needs no connection and launches nothing.
    ExitCode setup() const;
    // Reaches the app (launching it when needed) and opens the session; prints the
    // connection failure document and throws Termination when that fails.
    void connect();
    // Runs the command on the session; throws Usage for an unknown command or a bad option.
    ExitCode dispatch();

    // The start parameters from the options, checked in order: display, duration.
    static recorder::StartParameters startParameters(const Arguments& arguments);
    // "request-id", verbatim; Usage when it is not UTF-8.
    static std::optional<std::string> startRequestID(const Arguments& arguments);
    static double resultWaitTimeout(const Arguments& arguments);

private:
    [[noreturn]] void fail(const recorder::AutomationFailure& failure, ExitCode code) const;
    template <class Operation>
    auto perform(Operation&& operation);
    ExitCode finished(const recorder::ResultPayload& result) const;

    const Arguments& arguments_;
    const Invocation& invocation_;
    std::optional<recorder::RecorderAutomationSession> session_;
};

}  // namespace vantor
