#pragma once
// Lumora's recording indicator on the desktop: while a recording is in progress, one resident
// notification of the freedesktop notification service (org.freedesktop.Notifications on the
// session bus) says that Lumora records, what, and who started it, and carries a "stop" action.
// It is updated in place as the recording moves on and closed when it ends. All D-Bus work runs
// on a thread of the indicator's own; nothing the recorder calls ever waits for the bus.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumora/RecordingSession.h"

namespace lumora {

class NotificationIndicator {
public:
    // Called on the indicator's thread when the user invokes "stop" on the notification of
    // that session.
    using StopHandler = std::function<void(const std::string& sessionID)>;
    using Log = std::function<void(const std::string&)>;

    // What the notification shows for a session; nothing once the session is final.
    struct Content {
        std::string summary;
        std::string body;
        bool stoppable = false;  // carries the "stop" action
        bool operator==(const Content&) const = default;
    };
    static std::optional<Content> contentFor(const RecordingSession& session);

    // The action's key, and the label people see.
    static constexpr const char* stopActionKey = "stop";
    static constexpr const char* stopActionLabel = "Stop recording";

    // `busAddress` is a D-Bus address; empty means this user's session bus
    // (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus, never an autolaunched bus).
    // Nothing is connected until the first recording. `log` hears, once, why no indicator can
    // be shown.
    NotificationIndicator(std::string busAddress, StopHandler stop, Log log);
    // Closes a notification still shown.
    ~NotificationIndicator();
    NotificationIndicator(const NotificationIndicator&) = delete;
    NotificationIndicator& operator=(const NotificationIndicator&) = delete;

    // Shows, updates or (for a final state) closes the notification for this session. Returns
    // at once.
    void update(const RecordingSession& session);

    // Waits until every update given so far has been told to the notification service (or
    // found no service). True when that happened within `timeout`.
    bool waitUntilDelivered(std::chrono::milliseconds timeout);

    // The session bus address that an empty `busAddress` stands for, or why there is none.
    struct BusAddress {
        std::optional<std::string> address;
        std::string whyNone;
    };
    static BusAddress sessionBusAddress();

private:
    struct Core;
    std::unique_ptr<Core> core_;
};

}  // namespace lumora
