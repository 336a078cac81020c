#pragma once
// The platform services a controlling program stands on, behind one narrow interface: reading
// application bundles, finding the user's running applications, launching one, and the user's
// directories. Abstract so that tests can put a fake in its place and start no process;
// everything else uses system(), the real services of this machine.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Platform/RunningApplications.h"

namespace recorder::platform {

class PlatformServices {
public:
    virtual ~PlatformServices() = default;

    // The information dictionary of the application bundle at `directory`: nothing when it is
    // not a directory, an empty object when it has no readable Contents/Info.plist.
    virtual std::optional<nlohmann::json> bundleInfo(const std::filesystem::path& directory) const = 0;
    // The calling user's running applications with this bundle identifier.
    virtual std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier) const = 0;
    // Opens an application bundle in the background with `arguments`; throws LaunchError.
    virtual void launch(const std::filesystem::path& bundle, const std::vector<std::string>& arguments) const = 0;
    // The shared container of an application group, when the platform has one.
    virtual std::optional<std::filesystem::path> applicationGroupContainer(std::string_view group) const = 0;
    // The user's application-support directory; throws std::system_error when there is no home.
    virtual std::filesystem::path applicationSupportDirectory() const = 0;

    static const PlatformServices& system();
};

}  // namespace recorder::platform
