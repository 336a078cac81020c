#include "tests/Support/TestBundle.h"

#include <plist/plist.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "RecorderAutomation/Platform/RunningApplications.h"

namespace testsupport {

void writeInfoPlist(const std::filesystem::path& file, const std::map<std::string, std::string>& values,
                    PlistFormat format) {
    plist_t dictionary = plist_new_dict();
    for (const auto& [key, value] : values)
        plist_dict_set_item(dictionary, key.c_str(), plist_new_string(value.c_str()));
    char* bytes = nullptr;
    std::uint32_t length = 0;
    if (format == PlistFormat::xml) {
        plist_to_xml(dictionary, &bytes, &length);
    } else {
        plist_to_bin(dictionary, &bytes, &length);
    }
    std::ofstream(file, std::ios::binary).write(bytes, length);
    if (format == PlistFormat::xml) {
        plist_to_xml_free(bytes);
    } else {
        plist_to_bin_free(bytes);
    }
    plist_free(dictionary);
}

std::filesystem::path makeBundle(const std::filesystem::path& parent, const std::string& name,
                                 const std::map<std::string, std::string>& values,
                                 const std::optional<std::filesystem::path>& executable, PlistFormat format) {
    const auto bundle = parent / (name + ".app");
    std::filesystem::create_directories(bundle / "Contents" / "MacOS");
    writeInfoPlist(bundle / "Contents" / "Info.plist", values, format);
    if (executable) {
        const auto found = values.find("CFBundleExecutable");
        const auto target = bundle / "Contents" / "MacOS" / (found != values.end() ? found->second : name);
        std::filesystem::copy_file(*executable, target, std::filesystem::copy_options::overwrite_existing);
    }
    return bundle;
}

void stopApplicationsUnder(const std::filesystem::path& parent, const std::string& bundleIdentifier) {
    const auto under = [&](const recorder::platform::RunningApplication& app) {
        const auto text = app.bundleURL ? app.bundleURL->string() : std::string();
        return text.rfind(parent.string(), 0) == 0;
    };
    for (const auto& app : recorder::platform::runningApplications(bundleIdentifier)) {
        if (under(app)) ::kill(app.processIdentifier, SIGKILL);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        bool any = false;
        for (const auto& app : recorder::platform::runningApplications(bundleIdentifier)) any = any || under(app);
        if (!any) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace testsupport
