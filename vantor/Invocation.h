#pragma once
// What one run of vantor reads from its process and where it writes.

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "vantor/OutputChannel.h"

namespace vantor {

struct Invocation {
    // The process arguments without the program path.
    std::vector<std::string> arguments;
    // RECORDER_APP, when set (any value, the empty text included).
    std::optional<std::string> recorderApp;
    // vantor's own executable, with symbolic links resolved, so that a link on the PATH
    // still leads into the bundle.
    std::filesystem::path executable;
    // Standard output and error, written directly.
    OutputChannel out{STDOUT_FILENO};
    OutputChannel err{STDERR_FILENO};
};

}  // namespace vantor
