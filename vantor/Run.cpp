#include "vantor/Run.h"

#include "vantor/Arguments.h"
#include "vantor/CommandExecution.h"
#include "vantor/Commands.h"
#include "vantor/Output.h"
#include "vantor/UsageText.h"

namespace vantor {
namespace {

// The status a command ended with; a usage error is answered with the usage text.
ExitCode ended(const Outcome& outcome, const Invocation& invocation) {
    if (const auto* code = std::get_if<ExitCode>(&outcome)) return *code;
    writeUsage(invocation.err);
    return ExitCode::usage;
}

Outcome runCommand(const Arguments& arguments, const Invocation& invocation) {
    CommandExecution execution(arguments, invocation);
    const Command* command = findCommand(*arguments.command);
    if (command && !command->reachesApp) return command->run(execution);
    // The connection comes first, so an unknown command is only told once the app answers.
    if (auto failed = execution.connect()) return *failed;
    if (!command) return UsageError{};
    return command->run(execution);
}

}  // namespace

ExitCode run(const Invocation& invocation) {
    // A grammar error wins over the help flag: the line is not understood at all.
    const auto arguments = Arguments::parse(invocation.arguments);
    if (!arguments) return ended(UsageError{}, invocation);
    if (!arguments->command || arguments->hasFlag("help")) {
        writeUsage(invocation.err);
        return arguments->hasFlag("help") ? ExitCode::ok : ExitCode::usage;
    }
    try {
        return ended(runCommand(*arguments, invocation), invocation);
    } catch (const std::exception& error) {
        // Nothing is expected to escape the commands; if something does, it still ends as a
        // document rather than an abort.
        emit(ErrorDocument{recorder::AutomationFailure(recorder::AutomationErrorCode::appUnavailable,
                                                       std::string("Connection to Lumora failed: ") + error.what())},
             invocation.out);
        return ExitCode::connectionFailed;
    }
}

}  // namespace vantor
