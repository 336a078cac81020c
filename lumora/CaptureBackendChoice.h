#pragma once
// Which back end records: the one the settings name, or for "auto" the user's desktop as found,
// Wayland first (where an X grab sees nothing), then X11, then the synthetic test pattern so that
// a machine without any display still records something.

#include <string>

#include "lumora/DesktopSession.h"
#include "lumora/Settings.h"

namespace lumora {

// What answered of the session that DesktopSession found.
struct DesktopReachability {
    bool waylandCompositor = false;  // its socket accepts connections
    bool screenCastPortal = false;   // the session bus answers for the screen-cast portal
    bool x11Server = false;          // the X display's socket accepts connections
    std::string waylandProblem;      // why Wayland is not usable, when its socket was found

    // Asks the real sockets and bus; only what the session names is tried.
    static DesktopReachability probe(const DesktopSession& session);
};

struct CaptureBackendChoice {
    CaptureBackendKind kind = CaptureBackendKind::synthetic;
    std::string reason;  // one sentence for the log

    bool operator==(const CaptureBackendChoice&) const = default;

    static CaptureBackendChoice choose(CaptureBackendKind setting, const DesktopSession& session,
                                       const DesktopReachability& reachability);
};

}  // namespace lumora
