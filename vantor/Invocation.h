#pragma once
// What one run of vantor reads from its process and where it writes.

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vantor {

struct Invocation {
    // The process arguments without the program path.
    std::vector<std::string> arguments;
    // RECORDER_APP, when set (any value, the empty text included).
    std::optional<std::string> recorderApp;
    // vantor's own executable, with symbolic links resolved, so that a link on the PATH
    // still leads into the bundle.
    std::filesystem::path executable;
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
};

}  // namespace vantor
