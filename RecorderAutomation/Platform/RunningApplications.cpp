#include "RecorderAutomation/Platform/RunningApplications.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "RecorderAutomation/Platform/Bundle.h"

namespace recorder::platform {

std::optional<std::filesystem::path> applicationBundleOfExecutable(const std::filesystem::path& executable) {
    const auto macOS = executable.parent_path();
    const auto contents = macOS.parent_path();
    const auto bundle = contents.parent_path();
    if (macOS.filename() != "MacOS" || contents.filename() != "Contents" || bundle.extension() != ".app") {
        return std::nullopt;
    }
    return bundle;
}

namespace {

bool commandNameMatches(const std::filesystem::path& process, const std::filesystem::path& executable) {
    std::ifstream file(process / "comm");
    std::string name;
    if (!std::getline(file, name)) return false;
    constexpr std::size_t commandNameLength = 15;  // the kernel keeps this much of the name
    return name == executable.filename().string().substr(0, commandNameLength);
}

}  // namespace

ProcessOwner ProcessOwner::current() { return {::getuid(), ::geteuid()}; }

std::optional<ProcessOwner> ownerOfProcess(const std::filesystem::path& process) {
    std::ifstream file(process / "status");
    for (std::string line; std::getline(file, line);) {
        if (!line.starts_with("Uid:")) continue;
        std::istringstream fields(line.substr(4));
        ProcessOwner owner;
        if (fields >> owner.realUserID >> owner.effectiveUserID) return owner;
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier,
                                                    const std::filesystem::path& processTable, ProcessOwner owner) {
    std::vector<RunningApplication> found;
    // Several processes of one bundle read its information list once per scan.
    std::map<std::filesystem::path, bool> matches;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(processTable, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code linkError;
        const auto executable = std::filesystem::read_symlink(entry->path() / "exe", linkError);
        if (linkError) continue;
        const auto bundle = applicationBundleOfExecutable(executable);
        if (!bundle) continue;
        auto known = matches.find(*bundle);
        if (known == matches.end()) {
            const auto opened = Bundle::open(*bundle);
            const bool match = opened && opened->bundleIdentifier() == bundleIdentifier;
            known = matches.emplace(*bundle, match).first;
        }
        // A process forked from the app that renamed itself (a worker such as Lumora's capture
        // supervisor) shares its executable but is not the app.
        if (known->second && commandNameMatches(entry->path(), executable) && ownerOfProcess(entry->path()) == owner) {
            found.push_back(RunningApplication{static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10)), *bundle});
        }
    }
    return found;
}

}  // namespace recorder::platform
