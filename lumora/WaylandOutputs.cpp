#include "lumora/WaylandOutputs.h"

#include <algorithm>
#include <chrono>

#include "lumora/WaylandOutputConnection.h"

namespace lumora {

WaylandOutputs::Listing WaylandOutputs::list(const std::filesystem::path& socket, std::chrono::milliseconds timeout) {
    Listing listing;
    WaylandOutputConnection connection(socket);
    if (!connection.connected()) {
        listing.error = connection.error();
        return listing;
    }
    // A compositor that stops answering must not hang Lumora.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!connection.ready()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto waited = left.count() > 0 ? connection.wait(left) : WaylandOutputConnection::Wait::timedOut;
        if (waited == WaylandOutputConnection::Wait::timedOut) {
            listing.error = "the Wayland compositor at " + socket.string() + " did not answer in time";
            return listing;
        }
        if (waited == WaylandOutputConnection::Wait::broken) {
            listing.error = "the Wayland compositor at " + socket.string() + " closed the connection";
            return listing;
        }
    }
    listing.outputs = connection.outputs();
    return listing;
}

std::vector<CaptureDisplay> WaylandOutputs::toDisplays(const std::vector<WaylandOutput>& outputs) {
    std::vector<CaptureDisplay> displays;
    for (const auto& o : outputs) {
        if (o.pixelWidth <= 0 || o.pixelHeight <= 0) continue;  // no current mode: not showing anything
        CaptureDisplay d;
        d.id = o.name.empty() ? "wl-output-" + std::to_string(o.globalName) : o.name;
        d.name = o.description.empty() ? (o.name.empty() ? "Monitor " + d.id : o.name) : o.description;
        d.pixelWidth = o.pixelWidth;
        d.pixelHeight = o.pixelHeight;
        // The logical size (xdg-output) also tells fractional scales, which wl_output rounds up.
        d.scale = o.logicalWidth > 0 ? double(o.pixelWidth) / double(o.logicalWidth)
                                     : double(std::max<std::int64_t>(1, o.scale));
        d.originX = o.x;
        d.originY = o.y;
        displays.push_back(std::move(d));
    }
    if (!displays.empty()) displays.front().isDefault = true;
    return displays;
}

}  // namespace lumora
