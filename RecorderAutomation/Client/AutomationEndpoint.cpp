#include "RecorderAutomation/Client/AutomationEndpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace recorder {

namespace {

[[noreturn]] void throwSystemError(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// mkdir -p with 0700 for every directory it creates.
void createDirectories(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& component : directory) {
        partial /= component;
        if (component == partial.root_path() || component.empty()) continue;
        if (::mkdir(partial.c_str(), 0700) == 0) continue;
        const int error = errno;
        if (error == EEXIST) {
            struct stat info {};
            if (::stat(partial.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
            throwSystemError(ENOTDIR, "cannot create " + partial.string());
        }
        throwSystemError(error, "cannot create " + partial.string());
    }
}

}  // namespace

AutomationEndpoint::AutomationEndpoint(std::string bundleIdentifier, std::filesystem::path directory)
    : bundleIdentifier_(std::move(bundleIdentifier)), directory_(std::move(directory)), path_(socketURL().string()) {
    const auto length = static_cast<std::int64_t>(path_.size());
    if (length > maximumPathLength) throw Failure::pathTooLong(length);
}

AutomationEndpoint AutomationEndpoint::standard(std::string bundleIdentifier, std::optional<std::string> appGroup,
                                                const platform::PlatformServices& services) {
    if (appGroup) {
        if (auto container = services.applicationGroupContainer(*appGroup)) {
            return AutomationEndpoint(std::move(bundleIdentifier), *container);
        }
    }
    auto directory = services.applicationSupportDirectory() / bundleIdentifier;
    return AutomationEndpoint(std::move(bundleIdentifier), std::move(directory));
}

std::optional<std::string> AutomationEndpoint::appGroup(std::optional<std::string_view> declared) {
    if (!declared) return std::nullopt;
    const std::string_view text = *declared;
    if (text.size() < 12 || text[10] != '.') return std::nullopt;
    for (std::size_t i = 0; i < 10; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return std::nullopt;
    }
    return std::string(text);
}

void AutomationEndpoint::prepareDirectory() const {
    const std::string where = directory_.string();
    struct stat info {};
    // lstat: a symbolic link at the directory's own path is not a secure directory, even when
    // it points at one.
    if (::lstat(where.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) throw Failure::insecureDirectory(where);
    } else if (errno == ENOENT) {
        createDirectories(directory_);
    } else {
        throwSystemError(errno, "cannot inspect " + where);
    }

    // Work on the opened directory itself, so that what is tightened and checked is the
    // directory that was found, not whatever the path names a moment later.
    const int fd = ::open(where.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP || error == ENOTDIR) throw Failure::insecureDirectory(where);
        throwSystemError(error, "cannot open " + where);
    }
    (void)::fchmod(fd, 0700);  // may fail on another user's directory; the check below decides
    const int statResult = ::fstat(fd, &info);
    const int error = errno;
    ::close(fd);
    if (statResult != 0) throwSystemError(error, "cannot inspect " + where);

    const bool secure = S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 022) == 0;
    if (!secure) throw Failure::insecureDirectory(where);
}

}  // namespace recorder
