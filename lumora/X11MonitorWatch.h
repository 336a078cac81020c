#pragma once
// Keeps the list of an X server's displays current: one connection, on a thread of its own,
// waits for the server's notices of display changes and reads the monitors again on each. The
// list is published whole, so that readers take it without asking the server anything. Once
// the connection breaks, no list is published any more: a server that is gone has no displays.

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumora/CaptureBackend.h"
#include "lumora/X11Monitors.h"

namespace lumora {

class X11MonitorWatch {
public:
    using List = std::shared_ptr<const std::vector<CaptureDisplay>>;

    // Watches the server of `monitors`, whose displays are `first` now; nothing (and the
    // connection closed) when the thread or its wake-up descriptor cannot be made.
    static std::unique_ptr<X11MonitorWatch> start(std::unique_ptr<X11Monitors> monitors,
                                                  std::vector<CaptureDisplay> first);
    ~X11MonitorWatch();  // ends the thread and waits for it
    X11MonitorWatch(const X11MonitorWatch&) = delete;
    X11MonitorWatch& operator=(const X11MonitorWatch&) = delete;

    // The displays now; null once the connection has broken.
    List list() const;

private:
    X11MonitorWatch(std::unique_ptr<X11Monitors> monitors, std::vector<CaptureDisplay> first, int stop);
    void run();
    void publish(List list);

    std::unique_ptr<X11Monitors> monitors_;
    int stop_ = -1;  // an eventfd: written once to end the thread
    mutable std::mutex mutex_;
    List list_;
    std::thread thread_;
};

}  // namespace lumora
