#pragma once
// One connection to an X server, and the monitors read over it: RandR's monitors (the primary
// one first), or the whole root window when the server has no RandR 1.5 or lists no monitor.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumora/CaptureBackend.h"

#include <xcb/xcb.h>

namespace lumora {

// One monitor as RandR reports it.
struct X11Monitor {
    std::string name;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool primary = false;
};

class X11Monitors {
public:
    // Connects to `display` (an X display name such as ":0"); nothing when no server answers.
    static std::unique_ptr<X11Monitors> connect(const std::string& display);
    ~X11Monitors();
    X11Monitors(const X11Monitors&) = delete;
    X11Monitors& operator=(const X11Monitors&) = delete;

    // The displays now; nothing once the connection has broken.
    std::optional<std::vector<CaptureDisplay>> read();

    // Asks the server for notice of every change of screens, outputs and monitors on the root
    // window (RandR's notices, and the root's own configure notices, which are all that a
    // change of monitors alone sends).
    void selectChanges();
    // Whether `event` (one the connection delivered) says the displays may have changed.
    bool isChange(const xcb_generic_event_t& event) const;

    xcb_connection_t* connection() const { return connection_; }
    bool broken() const;

    // The displays of these monitors on `displayName`: primary first and default, empty ones
    // skipped; the root window of `rootWidth` x `rootHeight` when no monitor is left.
    static std::vector<CaptureDisplay> displaysOf(const std::vector<X11Monitor>& monitors, std::int64_t rootWidth,
                                                  std::int64_t rootHeight, const std::string& displayName);

private:
    X11Monitors(xcb_connection_t* connection, std::uint32_t root, std::string display);
    std::optional<std::vector<X11Monitor>> monitors();

    xcb_connection_t* connection_;
    std::uint32_t root_;
    std::string display_;
    bool randr_ = false;  // the extension is there
    int randrMinor_ = 0;  // its minor version (99 for any later major one)
    std::uint8_t randrFirstEvent_ = 0;
};

}  // namespace lumora
