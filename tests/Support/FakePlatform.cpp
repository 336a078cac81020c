#include "tests/Support/FakePlatform.h"

#include <fstream>

namespace testsupport {

namespace fs = std::filesystem;

pid_t FakePlatform::run(const fs::path& bundle, recorder::platform::ProcessOwner owner) {
    const pid_t process = nextProcess_++;
    const auto entry = processTable_.path() / std::to_string(process);
    fs::create_directories(entry);
    const std::string name = bundle.stem().string();
    fs::create_symlink(bundle / "Contents/MacOS" / name, entry / "exe");
    std::ofstream(entry / "comm") << name << '\n';
    std::ofstream(entry / "status") << "Name:\t" << name << "\nUid:\t" << owner.realUserID << '\t'
                                    << owner.effectiveUserID << '\t' << owner.realUserID << '\t' << owner.realUserID
                                    << '\n';
    return process;
}

void FakePlatform::end(pid_t process) { fs::remove_all(processTable_.path() / std::to_string(process)); }

std::optional<nlohmann::json> FakePlatform::bundleInfo(const fs::path& directory) const {
    return system().bundleInfo(directory);
}

std::vector<recorder::platform::RunningApplication> FakePlatform::runningApplications(
    std::string_view bundleIdentifier) const {
    return recorder::platform::runningApplications(bundleIdentifier, processTable_.path(), user);
}

void FakePlatform::launch(const fs::path& bundle, const std::vector<std::string>& arguments) const {
    launches.emplace_back(bundle, arguments);
    if (onLaunch) onLaunch(bundle);
}

std::optional<fs::path> FakePlatform::applicationGroupContainer(std::string_view group) const {
    const auto found = groupContainers.find(std::string(group));
    if (found == groupContainers.end()) return std::nullopt;
    return found->second;
}

fs::path FakePlatform::applicationSupportDirectory() const { return system().applicationSupportDirectory(); }

}  // namespace testsupport
