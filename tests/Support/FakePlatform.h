#pragma once
// The platform seam's fake for the locator tests. Bundles are read from disk as the real
// services read them; running applications come from a process table of this fake's own (a
// temporary directory laid out like /proc, scanned by the real code); a launch runs what the
// test scripts. Nothing starts a process.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "RecorderAutomation/Platform/PlatformServices.h"
#include "tests/Support/TemporaryDirectory.h"

namespace testsupport {

class FakePlatform : public recorder::platform::PlatformServices {
public:
    // The user the fake runs as; other owners stand for other users.
    static constexpr recorder::platform::ProcessOwner user{1000, 1000};

    // What a launch does after it has been recorded; by default nothing (the app ends at once).
    std::function<void(const std::filesystem::path& bundle)> onLaunch;
    // Every launch, in order: the bundle and the arguments.
    mutable std::vector<std::pair<std::filesystem::path, std::vector<std::string>>> launches;
    // Application-group containers that exist.
    std::map<std::string, std::filesystem::path> groupContainers;

    // Enters a process of `owner` running the bundle's Contents/MacOS/<name> (name: the
    // bundle's stem) into the process table; returns its process identifier.
    pid_t run(const std::filesystem::path& bundle, recorder::platform::ProcessOwner owner = user);
    // Removes the process from the table.
    void end(pid_t process);

    std::optional<nlohmann::json> bundleInfo(const std::filesystem::path& directory) const override;
    std::vector<recorder::platform::RunningApplication> runningApplications(
        std::string_view bundleIdentifier) const override;
    void launch(const std::filesystem::path& bundle, const std::vector<std::string>& arguments) const override;
    std::optional<std::filesystem::path> applicationGroupContainer(std::string_view group) const override;
    // The real one: $HOME/.local/share.
    std::filesystem::path applicationSupportDirectory() const override;

private:
    TemporaryDirectory processTable_;
    pid_t nextProcess_ = 100;
};

}  // namespace testsupport
