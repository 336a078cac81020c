#pragma once
// The desktop's leave to record a display without asking again: the screen-cast portal's restore
// token, kept per display in a file of Lumora's own (mode 0600, replaced atomically). Every
// look-up checks the file (one stat) and reads it again when it changed, so that a grant given by
// `Lumora --grant-screen-access` in another process counts at once.

#include <array>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace lumora {

class ScreenCastGrants {
public:
    explicit ScreenCastGrants(std::filesystem::path file) : file_(std::move(file)) {}

    const std::filesystem::path& file() const { return file_; }

    // The stored token for a display, if any. A missing, unreadable or corrupt file holds none.
    std::optional<std::string> token(const std::string& displayID) const;
    // Every stored grant, display id to token.
    std::map<std::string, std::string> all() const;

    // Keeps `token` for the display (a corrupt file is replaced). Returns why it could not be
    // written, or nothing.
    std::optional<std::string> store(const std::string& displayID, const std::string& token);
    // Drops the display's grant (the desktop no longer honours it).
    std::optional<std::string> forget(const std::string& displayID);

    // Restore tokens are UUIDs; the portal refuses anything else.
    static bool isValidToken(const std::string& token);

private:
    // The grants in the file now; valid until the next call.
    const std::map<std::string, std::string>& readLocked() const;
    std::map<std::string, std::string> parse() const;
    std::optional<std::string> writeLocked(const std::map<std::string, std::string>& grants);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    // The grants last read, and what the file was then: device, inode, size, change times.
    mutable std::map<std::string, std::string> read_;
    mutable std::optional<std::array<long long, 6>> readFrom_;
};

}  // namespace lumora
