#pragma once
// The steps every command shares once the command line is understood: locating and reaching
// the app, one session operation whose failure becomes a printed document, and printing the
// command's own document. Nothing here throws to the caller: a step that ends the command
// returns its Outcome.

#include <optional>
#include <utility>

#include "RecorderAutomation/Client/RecorderAppLocator.h"
#include "RecorderAutomation/Client/RecorderAutomationSession.h"
#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "vantor/Arguments.h"
#include "vantor/ExitCode.h"
#include "vantor/Invocation.h"
#include "vantor/Outcome.h"
#include "vantor/Output.h"

namespace vantor {

class CommandExecution {
public:
    static constexpr double connectionTimeout = 20;

    CommandExecution(const Arguments& arguments, const Invocation& invocation);

    const Arguments& arguments() const noexcept { return arguments_; }
    const OutputChannel& out() const noexcept { return invocation_.out; }

    // From --app, else RECORDER_APP, else the bundle around vantor's own executable. Throws the
    // locator's failure.
    recorder::RecorderAppLocator locate() const;

    // Reaches the app (launching it when needed) and opens the session; on failure prints the
    // connection failure document and returns the outcome to end with.
    std::optional<Outcome> connect();

    // Prints the failure document; the command ends with `code`.
    Outcome fail(const recorder::AutomationFailure& failure, ExitCode code) const;

    // Runs `operation` on the session; a failure of the session is printed as its document.
    template <class Operation>
    auto perform(Operation&& operation)
        -> Result<decltype(std::forward<Operation>(operation)(std::declval<recorder::RecorderAutomationSession&>()))> {
        try {
            return std::forward<Operation>(operation)(*session_);
        } catch (const std::exception& error) {
            return failed(error);
        }
    }

    // Prints `value`; the command ends with status 0.
    template <class Value>
    Outcome printed(const Value& value) const {
        emit(value, out());
        return ExitCode::ok;
    }
    // Prints a finished recording's result; a failed recording ends with its failure's status.
    Outcome finished(const recorder::ResultPayload& result) const;

private:
    Outcome failed(const std::exception& error) const;

    const Arguments& arguments_;
    const Invocation& invocation_;
    std::optional<recorder::RecorderAutomationSession> session_;
};

}  // namespace vantor
