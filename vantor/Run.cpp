#include "vantor/Run.h"

#include "vantor/Arguments.h"
#include "vantor/CommandExecution.h"
#include "vantor/Output.h"
#include "vantor/UsageText.h"

namespace vantor {

ExitCode run(const Invocation& invocation) {
    Arguments arguments;
    try {
        arguments = Arguments(invocation.arguments);
    } catch (const Usage&) {
        // A grammar error wins over the help flag: the line is not understood at all.
        writeUsage(*invocation.err);
        return ExitCode::usage;
    }
    if (!arguments.command || arguments.hasFlag("help")) {
        writeUsage(*invocation.err);
        return arguments.hasFlag("help") ? ExitCode::ok : ExitCode::usage;
    }
    CommandExecution execution(arguments, invocation);
    try {
        if (*arguments.command == "setup") return execution.setup();
        // The connection comes first, so an unknown command is only told once the app answers.
        execution.connect();
        return execution.dispatch();
    } catch (const Usage&) {
        writeUsage(*invocation.err);
        return ExitCode::usage;
    } catch (const CommandExecution::Termination& termination) {
        return termination.code;
    } catch (const std::exception& error) {
        // Nothing else is expected to escape the commands; if it does, it still ends as a
        // document rather than an abort.
        emit(ErrorDocument{recorder::AutomationFailure(recorder::AutomationErrorCode::appUnavailable,
                                                       std::string("Connection to Lumora failed: ") + error.what())},
             *invocation.out);
        return ExitCode::connectionFailed;
    }
}

}  // namespace vantor
