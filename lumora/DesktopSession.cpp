#include "lumora/DesktopSession.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace lumora {
namespace {

std::optional<std::string> nonEmpty(const DesktopEnvironment& env, const std::string& name) {
    auto value = env.variable(name);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

// "prefix<n>" entries of a directory, lowest n first.
std::vector<std::pair<long, std::string>> numbered(const DesktopEnvironment& env, const std::filesystem::path& dir,
                                                   const std::string& prefix) {
    std::vector<std::pair<long, std::string>> found;
    for (const auto& name : env.entries(dir)) {
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 6 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        found.emplace_back(std::stol(digits), name);
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

DesktopEnvironment DesktopEnvironment::current() {
    DesktopEnvironment env;
    env.variable = [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (!value) return std::nullopt;
        return std::string(value);
    };
    env.isSocket = [](const std::filesystem::path& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
    };
    env.isDirectory = [](const std::filesystem::path& path) {
        std::error_code ec;
        return std::filesystem::is_directory(path, ec);
    };
    env.entries = [](const std::filesystem::path& path) {
        std::vector<std::string> names;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            names.push_back(it->path().filename().string());
        return names;
    };
    env.uid = ::getuid();
    return env;
}

DesktopSession DesktopSession::discover(const DesktopEnvironment& env) {
    DesktopSession session;

    // The runtime directory: $XDG_RUNTIME_DIR, else the one logind makes for the user.
    if (auto dir = nonEmpty(env, "XDG_RUNTIME_DIR");
        dir && std::filesystem::path(*dir).is_absolute() && env.isDirectory(*dir))
        session.runtimeDirectory = std::filesystem::path(*dir);
    else if (std::filesystem::path run = "/run/user/" + std::to_string(env.uid); env.isDirectory(run))
        session.runtimeDirectory = run;

    // The compositor: $WAYLAND_DISPLAY (absolute, or relative to the runtime directory) when its
    // socket is there; else wayland-0, wayland-1 ... in the runtime directory.
    if (auto name = nonEmpty(env, "WAYLAND_DISPLAY")) {
        std::filesystem::path socket(*name);
        if (socket.is_relative() && session.runtimeDirectory) socket = *session.runtimeDirectory / socket;
        if (socket.is_absolute() && env.isSocket(socket)) session.waylandSocket = socket;
    }
    if (!session.waylandSocket && session.runtimeDirectory) {
        for (const auto& [n, name] : numbered(env, *session.runtimeDirectory, "wayland-")) {
            if (env.isSocket(*session.runtimeDirectory / name)) {
                session.waylandSocket = *session.runtimeDirectory / name;
                break;
            }
        }
    }

    // The session bus: $DBUS_SESSION_BUS_ADDRESS as given, else the runtime directory's "bus".
    if (auto address = nonEmpty(env, "DBUS_SESSION_BUS_ADDRESS"))
        session.sessionBusAddress = *address;
    else if (session.runtimeDirectory && env.isSocket(*session.runtimeDirectory / "bus"))
        session.sessionBusAddress = dbusAddressForSocket(*session.runtimeDirectory / "bus");

    // The X display: $DISPLAY as given, else the lowest-numbered server socket.
    if (auto display = nonEmpty(env, "DISPLAY")) {
        session.x11Display = *display;
    } else {
        const std::filesystem::path x11 = "/tmp/.X11-unix";
        for (const auto& [n, name] : numbered(env, x11, "X")) {
            if (env.isSocket(x11 / name)) {
                session.x11Display = ':' + std::to_string(n);
                break;
            }
        }
    }
    return session;
}

std::string DesktopSession::summary() const {
    auto shown = [](const auto& value) -> std::string {
        if (!value) return "none";
        if constexpr (std::is_same_v<std::decay_t<decltype(*value)>, std::filesystem::path>)
            return value->string();
        else
            return *value;
    };
    return "Wayland socket " + shown(waylandSocket) + ", session bus " + shown(sessionBusAddress) + ", X display " +
           shown(x11Display);
}

std::string dbusAddressForSocket(const std::filesystem::path& socket) {
    static const char hex[] = "0123456789abcdef";
    std::string address = "unix:path=";
    for (unsigned char c : socket.string()) {
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' ||
            c == '/' || c == '.' || c == '\\' || c == '*') {
            address += char(c);
        } else {
            address += '%';
            address += hex[c >> 4];
            address += hex[c & 15];
        }
    }
    return address;
}

}  // namespace lumora
