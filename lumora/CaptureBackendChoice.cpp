#include "lumora/CaptureBackendChoice.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "lumora/ScreenCastPortal.h"

namespace lumora {
namespace {

bool acceptsConnections(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// ":0", ":0.0" and "unix:0" are the local server's socket; a remote display is taken on trust.
bool x11Answers(const std::string& display) {
    std::string rest = display;
    if (rest.rfind("unix:", 0) == 0) rest = rest.substr(4);
    if (rest.empty() || rest[0] != ':') return true;
    const std::string number =
        rest.substr(1, rest.find('.') == std::string::npos ? std::string::npos : rest.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    return acceptsConnections("/tmp/.X11-unix/X" + number);
}

}  // namespace

DesktopReachability DesktopReachability::probe(const DesktopSession& session) {
    DesktopReachability r;
    if (session.waylandSocket) {
        r.waylandCompositor = acceptsConnections(session.waylandSocket->string());
        if (!r.waylandCompositor)
            r.waylandProblem = "the compositor at " + session.waylandSocket->string() + " does not answer";
        else if (!session.sessionBusAddress)
            r.waylandProblem = "no session bus was found";
        else if (!ScreenCastPortal::reachable(*session.sessionBusAddress, std::chrono::seconds(5), &r.waylandProblem)) {
        } else
            r.screenCastPortal = true;
    }
    if (session.x11Display) r.x11Server = x11Answers(*session.x11Display);
    return r;
}

CaptureBackendChoice CaptureBackendChoice::choose(CaptureBackendKind setting, const DesktopSession& session,
                                                  const DesktopReachability& reachability) {
    if (setting != CaptureBackendKind::automatic)
        return {setting, "capture back end " + std::string(captureBackendName(setting)) + ", as the settings ask."};
    if (session.waylandSocket && reachability.waylandCompositor && reachability.screenCastPortal)
        return {CaptureBackendKind::wayland, "capture back end auto: wayland, the Wayland session at " +
                                                 session.waylandSocket->string() + " has the screen-cast portal."};
    std::string whyNotWayland = !session.waylandSocket
                                    ? "no Wayland session was found"
                                    : "the Wayland session cannot be recorded (" + reachability.waylandProblem + ")";
    if (session.x11Display && reachability.x11Server)
        return {CaptureBackendKind::x11, "capture back end auto: x11, " + whyNotWayland + " and the X display " +
                                             *session.x11Display + " answers."};
    return {CaptureBackendKind::synthetic,
            "capture back end auto: synthetic (a test pattern), " + whyNotWayland + " and " +
                (session.x11Display ? "the X display " + *session.x11Display + " does not answer."
                                    : std::string("no X display was found."))};
}

}  // namespace lumora
