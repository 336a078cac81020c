#pragma once
// The running applications of a bundle identifier, found in /proc: processes whose executable is
// a bundle's Contents/MacOS program and who still carry its name.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace recorder::platform {

struct RunningApplication {
    pid_t processIdentifier = 0;
    std::optional<std::filesystem::path> bundleURL;
    bool operator==(const RunningApplication&) const = default;
};

// Every process whose executable lies in Contents/MacOS of an application bundle with this
// identifier. Helpers elsewhere in the bundle (Contents/Helpers) are not the application.
// Processes whose executable cannot be read (other users', zombies) are skipped.
std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier);

// The application bundle of an application executable: the directory two levels above a file
// in <bundle>.app/Contents/MacOS/, when that directory's name ends in ".app".
std::optional<std::filesystem::path> applicationBundleOfExecutable(const std::filesystem::path& executable);

}  // namespace recorder::platform
