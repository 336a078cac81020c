#include "RecorderAutomation/Platform/PlatformServices.h"

#include "RecorderAutomation/Platform/ApplicationLauncher.h"
#include "RecorderAutomation/Platform/Bundle.h"
#include "RecorderAutomation/Platform/UserDirectories.h"

namespace recorder::platform {

namespace {

class SystemServices final : public PlatformServices {
public:
    std::optional<nlohmann::json> bundleInfo(const std::filesystem::path& directory) const override {
        auto bundle = Bundle::open(directory);
        if (!bundle) return std::nullopt;
        return bundle->infoDictionary();
    }
    std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier) const override {
        return platform::runningApplications(bundleIdentifier);
    }
    void launch(const std::filesystem::path& bundle, const std::vector<std::string>& arguments) const override {
        ApplicationLauncher::open(bundle, arguments);
    }
    std::optional<std::filesystem::path> applicationGroupContainer(std::string_view group) const override {
        return platform::applicationGroupContainer(group);
    }
    std::filesystem::path applicationSupportDirectory() const override {
        return platform::applicationSupportDirectory();
    }
};

}  // namespace

const PlatformServices& PlatformServices::system() {
    static const SystemServices services;
    return services;
}

}  // namespace recorder::platform
