#pragma once
// vantor as one function from arguments to an exit status; main() only adds the process
// around it.

#include "vantor/ExitCode.h"
#include "vantor/Invocation.h"

namespace vantor {

// One whole command: parse, help, setup or connect and dispatch, print one document. Never
// throws.
ExitCode run(const Invocation& invocation);

}  // namespace vantor
