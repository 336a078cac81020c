#include "RecorderAutomation/Platform/ProcessInfo.h"

#include <fstream>

namespace recorder::platform::ProcessInfo {

std::optional<std::filesystem::path> executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || path.empty()) return std::nullopt;
    return path;
}

std::optional<std::string> firstArgument() {
    std::ifstream stream("/proc/self/cmdline", std::ios::binary);
    std::string first;
    if (!stream || !std::getline(stream, first, '\0') || first.empty()) return std::nullopt;
    return first;
}

}  // namespace recorder::platform::ProcessInfo
