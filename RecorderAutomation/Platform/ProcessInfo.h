#pragma once
// Where the running program itself lies: a helper finds the bundle it belongs to from it.

#include <filesystem>
#include <optional>
#include <string>

namespace recorder::platform::ProcessInfo {

// The running program's executable file (/proc/self/exe), or nothing when unavailable.
std::optional<std::filesystem::path> executablePath();

// The first command-line argument as the program was started (/proc/self/cmdline).
std::optional<std::string> firstArgument();

}  // namespace recorder::platform::ProcessInfo
