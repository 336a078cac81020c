#include "lumora/ScreenCastGrants.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace lumora {

bool ScreenCastGrants::isValidToken(const std::string& token) {
    if (token.size() != 36) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

const std::map<std::string, std::string>& ScreenCastGrants::readLocked() const {
    struct stat status {};
    if (::stat(file_.c_str(), &status) != 0) {
        read_.clear();
        readFrom_.reset();
        return read_;
    }
    // A replacement is a new inode; a change in place moves the times (and likely the size).
    const std::array<long long, 6> identity{static_cast<long long>(status.st_dev),
                                            static_cast<long long>(status.st_ino),
                                            static_cast<long long>(status.st_size),
                                            status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec,
                                            status.st_ctim.tv_sec * 1'000'000'000LL + status.st_ctim.tv_nsec,
                                            static_cast<long long>(status.st_mode)};
    if (readFrom_ == identity) return read_;
    read_ = parse();
    readFrom_ = identity;
    return read_;
}

std::map<std::string, std::string> ScreenCastGrants::parse() const {
    std::map<std::string, std::string> grants;
    std::ifstream in(file_, std::ios::binary);
    if (!in) return grants;
    std::stringstream text;
    text << in.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) return grants;
    auto list = json.find("grants");
    if (list == json.end() || !list->is_object()) return grants;
    for (const auto& [display, entry] : list->items()) {
        if (!entry.is_object()) continue;
        auto token = entry.find("restoreToken");
        if (token != entry.end() && token->is_string() && isValidToken(token->get<std::string>()))
            grants[display] = token->get<std::string>();
    }
    return grants;
}

std::optional<std::string> ScreenCastGrants::writeLocked(const std::map<std::string, std::string>& grants) {
    nlohmann::json list = nlohmann::json::object();
    for (const auto& [display, token] : grants) list[display] = {{"restoreToken", token}};
    const std::string text = nlohmann::json{{"grants", list}}.dump(2) + "\n";

    std::error_code ec;
    if (!file_.parent_path().empty()) {
        std::filesystem::create_directories(file_.parent_path(), ec);
        if (ec) return file_.parent_path().string() + ": " + ec.message();
    }
    // A private temporary next to the file, renamed over it: readers see the old or the new file,
    // never half of one, and the token is never readable by others, not even for a moment.
    const std::string temporary = file_.string() + ".tmp" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return temporary + ": " + std::strerror(errno);
    ::fchmod(fd, 0600);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return temporary + ": " + std::strerror(e);
        }
        done += std::size_t(n);
    }
    const bool synced = ::fsync(fd) == 0;
    const int syncError = errno;
    ::close(fd);
    if (!synced || ::rename(temporary.c_str(), file_.c_str()) != 0) {
        const int e = synced ? errno : syncError;
        ::unlink(temporary.c_str());
        return file_.string() + ": " + std::strerror(e);
    }
    return std::nullopt;
}

std::optional<std::string> ScreenCastGrants::token(const std::string& displayID) const {
    std::lock_guard lock(mutex_);
    const auto& grants = readLocked();
    const auto it = grants.find(displayID);
    if (it == grants.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, std::string> ScreenCastGrants::all() const {
    std::lock_guard lock(mutex_);
    return readLocked();
}

std::optional<std::string> ScreenCastGrants::store(const std::string& displayID, const std::string& token) {
    if (!isValidToken(token)) return "the desktop's restore token \"" + token + "\" is not a UUID";
    std::lock_guard lock(mutex_);
    auto grants = readLocked();
    if (grants.count(displayID) && grants[displayID] == token) return std::nullopt;
    grants[displayID] = token;
    return writeLocked(grants);
}

std::optional<std::string> ScreenCastGrants::forget(const std::string& displayID) {
    std::lock_guard lock(mutex_);
    auto grants = readLocked();
    if (!grants.erase(displayID)) return std::nullopt;
    return writeLocked(grants);
}

}  // namespace lumora
