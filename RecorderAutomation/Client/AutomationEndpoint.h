#pragma once
// The one place where the app's automation socket lives. The app (listening) and every
// controlling program (connecting) derive the same path from the same two inputs: the app's
// bundle identifier and, where declared, its application group.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "RecorderAutomation/Platform/PlatformServices.h"
#include "RecorderAutomation/Support/Failure.h"

namespace recorder {

class AutomationEndpoint {
public:
    static constexpr std::string_view socketFileName = "automation.sock";
    // Three bytes below the socket layer's own limit, so an endpoint's path always fits there.
    static constexpr std::int64_t maximumPathLength = 100;

    struct PathTooLong {
        std::int64_t length = 0;
        static constexpr auto failureCase() {
            return failure::form("pathTooLong", failure::value(&PathTooLong::length));
        }
        bool operator==(const PathTooLong&) const = default;
    };
    struct InsecureDirectory {
        std::string path;
        static constexpr auto failureCase() {
            return failure::form("insecureDirectory", failure::value(&InsecureDirectory::path));
        }
        bool operator==(const InsecureDirectory&) const = default;
    };
    struct Failure : BasicFailure<struct AutomationEndpointTag, PathTooLong, InsecureDirectory> {
        using BasicFailure::BasicFailure;
        static Failure pathTooLong(std::int64_t length) { return PathTooLong{length}; }
        static Failure insecureDirectory(std::string path) { return InsecureDirectory{std::move(path)}; }
    };

    // Throws pathTooLong when the socket path would exceed 100 UTF-8 bytes.
    AutomationEndpoint(std::string bundleIdentifier, std::filesystem::path directory);

    // The app group's container when the platform has one, else the application-support
    // directory plus the bundle identifier. Touches nothing on disk.
    static AutomationEndpoint standard(
        std::string bundleIdentifier, std::optional<std::string> appGroup = {},
        const platform::PlatformServices& services = platform::PlatformServices::system());

    // The declared group when well formed (ten ASCII capitals or digits, a dot, at least one
    // more character), else nothing.
    static std::optional<std::string> appGroup(std::optional<std::string_view> declared);

    // For the listening side, before it binds: creates the directory (0700) when missing and
    // makes sure it is a real directory of the current user that nobody else may write to.
    // Throws insecureDirectory, or the platform's error (std::system_error) from creating or
    // inspecting it.
    void prepareDirectory() const;

    const std::string& bundleIdentifier() const noexcept { return bundleIdentifier_; }
    const std::filesystem::path& directory() const noexcept { return directory_; }
    // Where the socket lives, and the same location as text (what the socket calls take). The
    // text is made once: every exchange connects to it.
    std::filesystem::path socketURL() const { return directory_ / socketFileName; }
    const std::string& path() const noexcept { return path_; }

    bool operator==(const AutomationEndpoint&) const = default;

private:
    std::string bundleIdentifier_;
    std::filesystem::path directory_;
    std::string path_;
};

}  // namespace recorder
