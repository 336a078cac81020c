#include "lumora/WaylandOutputs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <poll.h>
#include <wayland-client.h>

#include "xdg-output-unstable-v1-client-protocol.h"

namespace lumora {
namespace {

struct Output {
    WaylandOutput info;
    wl_output* proxy = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::int32_t transform = WL_OUTPUT_TRANSFORM_NORMAL;
    std::int64_t modeWidth = 0, modeHeight = 0;
};

struct State {
    wl_registry* registry = nullptr;
    zxdg_output_manager_v1* xdgManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
};

void onGeometry(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t transform) {
    static_cast<Output*>(data)->transform = transform;
}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto* o = static_cast<Output*>(data);
    if (flags & WL_OUTPUT_MODE_CURRENT) o->modeWidth = width, o->modeHeight = height;
}
void onDone(void*, wl_output*) {}
void onScale(void* data, wl_output*, int32_t factor) { static_cast<Output*>(data)->info.scale = std::max(1, factor); }
void onName(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->info.name = name ? name : ""; }
void onDescription(void* data, wl_output*, const char* text) {
    static_cast<Output*>(data)->info.description = text ? text : "";
}
const wl_output_listener outputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onXdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    auto* o = static_cast<Output*>(data);
    o->info.x = x, o->info.y = y;
}
void onXdgSize(void* data, zxdg_output_v1*, int32_t w, int32_t h) {
    auto* o = static_cast<Output*>(data);
    o->info.logicalWidth = w, o->info.logicalHeight = h;
}
void onXdgDone(void*, zxdg_output_v1*) {}
void onXdgName(void* data, zxdg_output_v1*, const char* name) {
    auto* o = static_cast<Output*>(data);
    if (o->info.name.empty() && name) o->info.name = name;
}
void onXdgDescription(void* data, zxdg_output_v1*, const char* text) {
    auto* o = static_cast<Output*>(data);
    if (o->info.description.empty() && text) o->info.description = text;
}
const zxdg_output_v1_listener xdgOutputListener = {onXdgPosition, onXdgSize, onXdgDone, onXdgName, onXdgDescription};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
    auto* state = static_cast<State*>(data);
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto output = std::make_unique<Output>();
        output->info.globalName = name;
        output->proxy = static_cast<wl_output*>(
            wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4)));
        wl_output_add_listener(output->proxy, &outputListener, output.get());
        state->outputs.push_back(std::move(output));
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
        state->xdgManager = static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3)));
    }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener registryListener = {onGlobal, onGlobalRemove};

// wl_display_roundtrip with a deadline: a compositor that stops answering must not hang Lumora.
bool roundtrip(wl_display* display, std::chrono::steady_clock::time_point deadline) {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    static const wl_callback_listener listener = {
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(callback, &listener, &done);
    while (!done) {
        while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
        if (done) {
            wl_display_cancel_read(display);
            break;
        }
        wl_display_flush(display);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{wl_display_get_fd(display), POLLIN, 0};
        int r = left.count() > 0 ? ::poll(&fd, 1, int(left.count())) : 0;
        if (r <= 0) {
            wl_display_cancel_read(display);
            if (r < 0 && errno == EINTR) continue;
            break;
        }
        if (wl_display_read_events(display) != 0 || wl_display_dispatch_pending(display) < 0) break;
    }
    wl_callback_destroy(callback);
    return done;
}

}  // namespace

WaylandOutputs::Listing WaylandOutputs::list(const std::filesystem::path& socket, std::chrono::milliseconds timeout) {
    Listing listing;
    if (socket.empty()) {
        listing.error = "no Wayland compositor was found";
        return listing;
    }
    wl_display* display = wl_display_connect(socket.c_str());
    if (!display) {
        listing.error = "cannot connect to the Wayland compositor at " + socket.string() + ": " + std::strerror(errno);
        return listing;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    State state;
    state.registry = wl_display_get_registry(display);
    wl_registry_add_listener(state.registry, &registryListener, &state);
    bool answered = roundtrip(display, deadline);
    if (answered && state.xdgManager) {
        for (auto& o : state.outputs) {
            o->xdg = zxdg_output_manager_v1_get_xdg_output(state.xdgManager, o->proxy);
            zxdg_output_v1_add_listener(o->xdg, &xdgOutputListener, o.get());
        }
    }
    // The outputs' own events (and xdg-output's) come in the second round.
    answered = answered && roundtrip(display, deadline);
    if (!answered) {
        listing.error = "the Wayland compositor at " + socket.string() + " did not answer in time";
    } else {
        for (auto& o : state.outputs) {
            const bool turned = o->transform % 2 == 1;  // 90 and 270 degrees, flipped or not
            o->info.pixelWidth = turned ? o->modeHeight : o->modeWidth;
            o->info.pixelHeight = turned ? o->modeWidth : o->modeHeight;
            if (o->info.logicalWidth == 0 && o->info.scale > 0) {
                o->info.logicalWidth = o->info.pixelWidth / o->info.scale;
                o->info.logicalHeight = o->info.pixelHeight / o->info.scale;
            }
            listing.outputs.push_back(o->info);
        }
    }
    for (auto& o : state.outputs) {
        if (o->xdg) zxdg_output_v1_destroy(o->xdg);
        if (wl_output_get_version(o->proxy) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(o->proxy);
        else
            wl_output_destroy(o->proxy);
    }
    if (state.xdgManager) zxdg_output_manager_v1_destroy(state.xdgManager);
    wl_registry_destroy(state.registry);
    wl_display_disconnect(display);
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
