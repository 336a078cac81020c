#include "RecorderAutomation/Platform/Bundle.h"

#include "RecorderAutomation/Platform/InfoPlist.h"

namespace recorder::platform {

std::optional<Bundle> Bundle::open(const std::filesystem::path& directory) {
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) return std::nullopt;
    auto info = InfoPlist::readDictionary(infoPlistPath(directory));
    return Bundle(directory, info ? std::move(*info) : nlohmann::json::object());
}

std::optional<std::string> Bundle::stringValue(std::string_view key) const {
    const auto found = info_.find(key);
    if (found == info_.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<std::filesystem::path> Bundle::executableURL() const {
    const auto name = stringValue("CFBundleExecutable");
    // A name with a slash or a dot-dot would leave Contents/MacOS.
    if (!name || name->empty() || name->find('/') != std::string::npos || *name == "." || *name == "..") {
        return std::nullopt;
    }
    return url_ / "Contents" / "MacOS" / *name;
}

}  // namespace recorder::platform
