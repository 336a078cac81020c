#pragma once
// The app processes that a helper launched, detached, for one temporary home: found by their
// program and the HOME in their environment, and stopped by process id when the object goes.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <vector>

namespace testsupport {

class LaunchedApps {
public:
    // `patience`: how long the apps may take to end after SIGTERM (saving a recording is slow
    // under the sanitizers) before they are killed.
    LaunchedApps(const std::filesystem::path& program, std::filesystem::path home,
                 std::chrono::milliseconds patience = std::chrono::seconds(25));
    ~LaunchedApps();
    LaunchedApps(const LaunchedApps&) = delete;
    LaunchedApps& operator=(const LaunchedApps&) = delete;

    // The running processes of the program (by its name, not its forked workers) whose
    // environment names this HOME.
    std::vector<pid_t> running() const;
    // SIGTERM to each, then SIGKILL to any left after the patience.
    void stop() const;

private:
    std::filesystem::path program_;
    std::filesystem::path home_;
    std::chrono::milliseconds patience_;
};

}  // namespace testsupport
