#pragma once
// Keeps the displays of a Wayland compositor current on a thread of its own: one long-lived
// connection that the compositor tells of every output plugged in, changed or removed, so that
// a request reads the list without asking the compositor. The watch ends when its connection
// does (the compositor quit or restarted); its list is then gone, never left stale.

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "lumora/CaptureBackend.h"

namespace lumora {

class WaylandOutputWatch {
public:
    using DisplayList = std::shared_ptr<const std::vector<CaptureDisplay>>;

    // Connects to the compositor at `socket` and starts watching, in the background.
    explicit WaylandOutputWatch(std::filesystem::path socket);
    // Stops watching and waits for the thread.
    ~WaylandOutputWatch();
    WaylandOutputWatch(const WaylandOutputWatch&) = delete;
    WaylandOutputWatch& operator=(const WaylandOutputWatch&) = delete;

    // The displays as the compositor last told them: one list, shared until the next change.
    // Null until the first listing is complete, and once the watch has ended.
    DisplayList displays() const;
    // The watch has ended: the compositor could not be reached or its connection broke.
    bool ended() const;

private:
    void run();

    const std::filesystem::path socket_;
    // Written once to stop the thread.
    const int stop_;
    mutable std::mutex mutex_;
    DisplayList displays_;
    bool ended_ = false;
    std::thread thread_;
};

}  // namespace lumora
