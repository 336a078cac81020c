#include "RecorderAutomation/Client/RecorderAppLocator.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "RecorderAutomation/Client/CancellableSleep.h"
#include "RecorderAutomation/Platform/ApplicationLauncher.h"
#include "RecorderAutomation/Platform/EmbeddedInfoPlist.h"
#include "RecorderAutomation/Platform/ProcessInfo.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"

namespace recorder {

namespace fs = std::filesystem;

namespace {

constexpr double exchangeTimeout = 10;
constexpr auto pollInterval = std::chrono::milliseconds(250);
constexpr auto earlyFailureAfter = std::chrono::seconds(3);

bool isKnown(std::string_view identifier) {
    const auto& known = RecorderAppLocator::knownBundleIdentifiers;
    return std::find(known.begin(), known.end(), identifier) != known.end();
}

// An absolute, lexically normal path without a trailing separator.
fs::path standardized(const fs::path& path) {
    std::error_code error;
    auto absolute = fs::absolute(path, error);
    auto normal = (error ? path : absolute).lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
}

std::size_t componentCount(const fs::path& path) {
    return static_cast<std::size_t>(std::distance(path.begin(), path.end()));
}

std::optional<std::string> textValue(const nlohmann::json& dictionary, std::string_view key) {
    if (!dictionary.is_object()) return std::nullopt;
    const auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

}  // namespace

fs::path RecorderAppLocator::ownExecutable() {
    if (auto path = platform::ProcessInfo::executablePath()) return *path;
    return platform::ProcessInfo::firstArgument().value_or("");
}

std::optional<nlohmann::json> RecorderAppLocator::ownInfoDictionary() { return platform::embeddedInfoDictionary(); }

RecorderAppLocator RecorderAppLocator::containing(const fs::path& executable,
                                                  const std::optional<nlohmann::json>& embedded,
                                                  const platform::PlatformServices& services) {
    if (executable.empty()) throw Failure::notInsideAppBundle();
    fs::path current = standardized(executable);
    if (componentCount(current) < 2) throw Failure::notInsideAppBundle();
    while (current.extension() != ".app") {
        current = current.parent_path();
        if (componentCount(current) < 2) throw Failure::notInsideAppBundle();
    }

    if (embedded && embedded->is_object() && !embedded->empty()) {
        if (auto identifier = textValue(*embedded, appBundleIdentifierInfoKey)) {
            if (!isKnown(*identifier)) throw Failure::unexpectedBundle(*identifier);
            auto group = AutomationEndpoint::appGroup(textValue(*embedded, appGroupInfoKey));
            return RecorderAppLocator(current, std::move(*identifier), std::move(group), services);
        }
    }
    return forBundle(current, services);
}

RecorderAppLocator RecorderAppLocator::forBundle(const fs::path& appURL, const platform::PlatformServices& services) {
    const auto info = services.bundleInfo(appURL);
    auto identifier = info ? textValue(*info, "CFBundleIdentifier") : std::nullopt;
    if (!identifier) {
        auto name = appURL.filename();
        if (name.empty()) name = appURL.parent_path().filename();
        throw Failure::unexpectedBundle(name.string());
    }
    if (!isKnown(*identifier)) throw Failure::unexpectedBundle(*identifier);
    auto group = AutomationEndpoint::appGroup(textValue(*info, appGroupInfoKey));
    return RecorderAppLocator(appURL, std::move(*identifier), std::move(group), services);
}

AutomationEndpoint RecorderAppLocator::endpoint() const {
    return AutomationEndpoint::standard(bundleIdentifier_, appGroup_, *platform_);
}

std::set<std::string> RecorderAppLocator::comparablePaths(const fs::path& url) {
    std::set<std::string> paths{standardized(url).string()};
    std::error_code error;
    const auto resolved = fs::weakly_canonical(standardized(url), error);
    if (!error) paths.insert(standardized(resolved).string());
    return paths;
}

bool RecorderAppLocator::isRunning() const {
    const auto mine = comparablePaths(appURL_);
    for (const auto& app : platform_->runningApplications(bundleIdentifier_)) {
        if (!app.bundleURL) continue;
        for (const auto& path : comparablePaths(*app.bundleURL)) {
            if (mine.contains(path)) return true;
        }
    }
    return false;
}

void RecorderAppLocator::launch() const {
    try {
        platform_->launch(appURL_, {std::string(AutomationProtocol::automationLaunchArgument)});
    } catch (const platform::LaunchError& error) {
        throw Failure::launchFailed(error.what());
    }
}

AutomationClient RecorderAppLocator::ensureRunning(double timeout, std::stop_token stop,
                                                   const std::function<void()>& launching) const {
    AutomationClient client(endpoint(), exchangeTimeout);
    if (client.isReachable()) return client;
    if (isRunning()) throw Failure::runningButUnreachable();
    if (launching) launching();
    launch();

    using Clock = std::chrono::steady_clock;
    const double bounded = std::isnan(timeout) ? 0.0 : std::clamp(timeout, 0.0, 1.0e9);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
    while (true) {
        if (!(Clock::now() < deadline)) {
            if (isRunning()) throw Failure::runningButUnreachable();
            throw Failure::notReachable();
        }
        if (client.isReachable()) return client;
        cancellableSleep(pollInterval, stop);
        if (!isRunning() && Clock::now() - start > earlyFailureAfter)
            throw Failure::launchFailed("The app did not start.");
    }
}

}  // namespace recorder
