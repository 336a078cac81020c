#pragma once
// A client of the desktop's screen-cast portal (org.freedesktop.portal.ScreenCast) over the
// session bus, with GDBus: CreateSession, SelectSources (one monitor, the cursor drawn in,
// persist_mode 2 with the stored restore token), Start, then OpenPipeWireRemote for the stream.
// Each call's answer comes as a Response signal on a request object, which is subscribed to before
// the call; every wait is bounded and wakes when the caller cancels. The cast lasts as long as
// this object (its bus connection) lives. Use it from one thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "lumora/CaptureBackend.h"

namespace lumora {

struct PortalStream {
    std::uint32_t node = 0;                           // the PipeWire node to record
    std::optional<std::int64_t> x, y, width, height;  // where the stream lies, in logical pixels
    bool operator==(const PortalStream&) const = default;
};

// The portal steps whose answers come as Response signals.
enum class PortalStep { createSession, selectSources, start };

// What a request's answer means for a capture: nothing for success (0), else the failure to
// report. `response` is empty when no answer came within `waited`. Refusals at the steps where
// the desktop may ask the user are `permission_required`.
std::optional<CaptureError> portalResponseError(PortalStep step, std::optional<std::uint32_t> response,
                                                std::chrono::milliseconds waited);

// The hint of every permission_required failure of the portal.
extern const char* const screenAccessHint;

class ScreenCastPortal {
public:
    struct Timing {
        std::chrono::milliseconds call{10000};      // any call, and the answers that need nobody
        std::chrono::milliseconds consent{120000};  // Start: the user may be asked
    };
    struct Grant {
        PortalStream stream;
        std::string restoreToken;  // empty when the desktop returned none
    };
    using Answer = std::variant<Grant, CaptureError, CaptureCancelled>;

    // `cancelled` is polled during every wait; when it turns true the wait ends with
    // CaptureCancelled.
    ScreenCastPortal(std::string busAddress, Timing timing, std::function<bool()> cancelled);
    ~ScreenCastPortal();  // closes the portal session and the connection
    ScreenCastPortal(const ScreenCastPortal&) = delete;
    ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

    // Asks for one monitor; with a restore token the desktop may grant it without asking.
    Answer open(const std::optional<std::string>& restoreToken);
    // Whether the last open() failed because the portal refused the restore token it was given.
    bool restoreTokenRefused() const;

    // The PipeWire connection for the granted stream: a descriptor the caller owns.
    std::variant<int, CaptureError> openPipeWireRemote();

    // Whether the bus at `busAddress` answers for the portal's ScreenCast interface, within
    // `timeout`; `why` says why not.
    static bool reachable(const std::string& busAddress, std::chrono::milliseconds timeout, std::string* why);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lumora
