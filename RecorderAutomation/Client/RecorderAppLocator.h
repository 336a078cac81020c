#pragma once
// Which copy of the app a controlling program belongs to, where that app's socket is, and how
// to get a working connection when the app is not running yet.

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Platform/PlatformServices.h"
#include "RecorderAutomation/Support/Failure.h"

namespace recorder {

class RecorderAppLocator {
public:
    static constexpr std::string_view releaseBundleIdentifier = LUMORA_BUNDLE_IDENTIFIER;
    static constexpr std::string_view debugBundleIdentifier = LUMORA_BUNDLE_IDENTIFIER ".debug";
    static constexpr std::array<std::string_view, 2> knownBundleIdentifiers{releaseBundleIdentifier,
                                                                            debugBundleIdentifier};
    static constexpr std::string_view appBundleIdentifierInfoKey = "RecorderAppBundleIdentifier";
    static constexpr std::string_view appGroupInfoKey = "RecorderAppGroup";

    struct UnexpectedBundle {
        std::string identifier;
        static constexpr auto failureCase() {
            return failure::form("unexpectedBundle", failure::value(&UnexpectedBundle::identifier));
        }
        bool operator==(const UnexpectedBundle&) const = default;
    };
    struct LaunchFailed {
        std::string reason;
        static constexpr auto failureCase() {
            return failure::form("launchFailed", failure::value(&LaunchFailed::reason));
        }
        bool operator==(const LaunchFailed&) const = default;
    };
    struct NotInsideAppBundle : NamedCase<"notInsideAppBundle"> {};
    struct RunningButUnreachable : NamedCase<"runningButUnreachable"> {};
    struct NotReachable : NamedCase<"notReachable"> {};

    struct Failure : BasicFailure<struct RecorderAppLocatorTag, UnexpectedBundle, LaunchFailed, NotInsideAppBundle,
                                  RunningButUnreachable, NotReachable> {
        using BasicFailure::BasicFailure;
        static Failure unexpectedBundle(std::string identifier) { return UnexpectedBundle{std::move(identifier)}; }
        static Failure launchFailed(std::string reason) { return LaunchFailed{std::move(reason)}; }
        static Failure notInsideAppBundle() { return NotInsideAppBundle{}; }
        static Failure runningButUnreachable() { return RunningButUnreachable{}; }
        static Failure notReachable() { return NotReachable{}; }
    };

    // Checks nothing. Every platform service (bundles, running applications, launching, the
    // user's directories) goes through `services`, which must outlive the locator.
    RecorderAppLocator(std::filesystem::path appURL, std::string bundleIdentifier, std::optional<std::string> appGroup,
                       const platform::PlatformServices& services = platform::PlatformServices::system())
        : appURL_(std::move(appURL)),
          bundleIdentifier_(std::move(bundleIdentifier)),
          appGroup_(std::move(appGroup)),
          platform_(&services) {}

    // The running program's executable (or, when that is unknown, its first argument).
    static std::filesystem::path ownExecutable();
    // The program's embedded information dictionary.
    static std::optional<nlohmann::json> ownInfoDictionary();

    // The innermost application bundle around `executable`; the identity comes from the
    // embedded dictionary when it names one, else from the bundle's own information list.
    static RecorderAppLocator containing(
        const std::filesystem::path& executable = ownExecutable(),
        const std::optional<nlohmann::json>& embedded = ownInfoDictionary(),
        const platform::PlatformServices& services = platform::PlatformServices::system());
    // The locator for an application bundle named by the caller.
    static RecorderAppLocator forBundle(
        const std::filesystem::path& appURL,
        const platform::PlatformServices& services = platform::PlatformServices::system());

    const std::filesystem::path& appURL() const noexcept { return appURL_; }
    const std::string& bundleIdentifier() const noexcept { return bundleIdentifier_; }
    const std::optional<std::string>& appGroup() const noexcept { return appGroup_; }

    AutomationEndpoint endpoint() const;
    // Whether this very copy of the app runs (another copy with the same identifier does not count).
    bool isRunning() const;
    // Opens the app in the background with the automation launch argument.
    void launch() const;
    // A client (10-second exchanges) whose socket answered: at once when it already does,
    // else after launching the app and polling every 0.25 s for up to `timeout` seconds. An
    // app that is gone 3 seconds after the launch fails early. A stop request ends a sleep
    // with CancellationError. `launching`, when given, is called just before the app is launched.
    AutomationClient ensureRunning(double timeout, std::stop_token stop = {},
                                   const std::function<void()>& launching = {}) const;

    // The path forms under which a bundle URL may be compared: standardized, and with
    // symbolic links resolved.
    static std::set<std::string> comparablePaths(const std::filesystem::path& url);

    bool operator==(const RecorderAppLocator&) const = default;

private:
    std::filesystem::path appURL_;
    std::string bundleIdentifier_;
    std::optional<std::string> appGroup_;
    const platform::PlatformServices* platform_;
};

}  // namespace recorder
