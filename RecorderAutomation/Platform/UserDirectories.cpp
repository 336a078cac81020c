#include "RecorderAutomation/Platform/UserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace recorder::platform {

std::optional<std::filesystem::path> applicationGroupContainer(std::string_view) { return std::nullopt; }

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;

    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int error = 0;
    while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') return found->pw_dir;
    throw std::system_error(error != 0 ? error : ENOENT, std::generic_category(), "no home directory for this user");
}

std::filesystem::path applicationSupportDirectory() { return homeDirectory() / ".local" / "share"; }

}  // namespace recorder::platform
