#pragma once
// An application bundle directory (<name>.app/Contents/Info.plist, Contents/MacOS/<executable>)
// opened for reading its identifier and information values.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace recorder::platform {

class Bundle {
public:
    // The bundle at `directory`, or nothing when it is not a directory. A bundle without a
    // readable Contents/Info.plist opens with an empty information dictionary.
    static std::optional<Bundle> open(const std::filesystem::path& directory);

    const std::filesystem::path& url() const noexcept { return url_; }
    const nlohmann::json& infoDictionary() const noexcept { return info_; }

    // The value under `key` when it is text.
    std::optional<std::string> stringValue(std::string_view key) const;
    std::optional<std::string> bundleIdentifier() const { return stringValue("CFBundleIdentifier"); }
    // Contents/MacOS/<CFBundleExecutable>, when the name is given and is a plain file name.
    std::optional<std::filesystem::path> executableURL() const;

    static std::filesystem::path infoPlistPath(const std::filesystem::path& directory) {
        return directory / "Contents" / "Info.plist";
    }

private:
    Bundle(std::filesystem::path url, nlohmann::json info) : url_(std::move(url)), info_(std::move(info)) {}
    std::filesystem::path url_;
    nlohmann::json info_;
};

}  // namespace recorder::platform
