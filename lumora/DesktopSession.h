#pragma once
// Finds the user's graphical session: the Wayland compositor's socket, the session bus and the X
// display. An app started by an AI host inherits that host's environment, which often lacks
// WAYLAND_DISPLAY, DISPLAY and DBUS_SESSION_BUS_ADDRESS, so the usual places on disk are looked
// at as well. Pure over a view of the environment and the file system, so that every order of
// precedence can be tested.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lumora {

// What discovery may look at. `current()` is the real process and file system.
struct DesktopEnvironment {
    std::function<std::optional<std::string>(const std::string&)> variable;
    std::function<bool(const std::filesystem::path&)> isSocket;
    std::function<bool(const std::filesystem::path&)> isDirectory;
    // The names of the entries of a directory (empty when it cannot be read).
    std::function<std::vector<std::string>(const std::filesystem::path&)> entries;
    uid_t uid = 0;

    static DesktopEnvironment current();
};

struct DesktopSession {
    std::optional<std::filesystem::path> runtimeDirectory;
    // The compositor's socket, as an absolute path.
    std::optional<std::filesystem::path> waylandSocket;
    // A D-Bus address ("unix:path=...").
    std::optional<std::string> sessionBusAddress;
    // An X display name (":0").
    std::optional<std::string> x11Display;

    bool operator==(const DesktopSession&) const = default;

    static DesktopSession discover(const DesktopEnvironment& environment);
    static DesktopSession discover() { return discover(DesktopEnvironment::current()); }

    // One line that says what was found, for the app's log.
    std::string summary() const;
};

// A path written as a D-Bus address value: bytes outside [-0-9A-Za-z_/.\*] as %XX.
std::string dbusAddressForSocket(const std::filesystem::path& socket);

}  // namespace lumora
