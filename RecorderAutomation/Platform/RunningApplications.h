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

// Whose processes count: a process belongs to the caller when its real and effective user ids
// are the caller's.
struct ProcessOwner {
    uid_t realUserID = 0;
    uid_t effectiveUserID = 0;
    static ProcessOwner current();
    bool operator==(const ProcessOwner&) const = default;
};

// The owner of the process whose /proc directory is `process` (its status file's "Uid:" line),
// or nothing when that cannot be read.
std::optional<ProcessOwner> ownerOfProcess(const std::filesystem::path& process);

// Every process of `owner` whose executable lies in Contents/MacOS of an application bundle with
// this identifier, found in the process table `processTable`. Another user's copy of the app
// is not the caller's app. Helpers elsewhere in the bundle (Contents/Helpers) are not the
// application. Processes whose executable or owner cannot be read (zombies) are skipped.
std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier,
                                                    const std::filesystem::path& processTable = "/proc",
                                                    ProcessOwner owner = ProcessOwner::current());

// The application bundle of an application executable: the directory two levels above a file
// in <bundle>.app/Contents/MacOS/, when that directory's name ends in ".app".
std::optional<std::filesystem::path> applicationBundleOfExecutable(const std::filesystem::path& executable);

}  // namespace recorder::platform
