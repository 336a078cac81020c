#include "lumora/WaylandOutputConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    bool* changed = nullptr;

    ~Output() {
        if (xdg) zxdg_output_v1_destroy(xdg);
        if (wl_output_get_version(proxy) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(proxy);
        else
            wl_output_destroy(proxy);
    }
};

Output& of(void* data) {
    auto& output = *static_cast<Output*>(data);
    *output.changed = true;
    return output;
}

void onGeometry(void* data, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t transform) {
    of(data).transform = transform;
}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
    auto& o = of(data);
    if (flags & WL_OUTPUT_MODE_CURRENT) o.modeWidth = width, o.modeHeight = height;
}
void onDone(void* data, wl_output*) { of(data); }
void onScale(void* data, wl_output*, int32_t factor) { of(data).info.scale = std::max(1, factor); }
void onName(void* data, wl_output*, const char* name) { of(data).info.name = name ? name : ""; }
void onDescription(void* data, wl_output*, const char* text) { of(data).info.description = text ? text : ""; }
const wl_output_listener outputListener = {onGeometry, onMode, onDone, onScale, onName, onDescription};

void onXdgPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
    auto& o = of(data);
    o.info.x = x, o.info.y = y;
}
void onXdgSize(void* data, zxdg_output_v1*, int32_t w, int32_t h) {
    auto& o = of(data);
    o.info.logicalWidth = w, o.info.logicalHeight = h;
}
void onXdgDone(void* data, zxdg_output_v1*) { of(data); }
// wl_output's own name and description (version 4) come first when the compositor has them.
void onXdgName(void* data, zxdg_output_v1*, const char* name) {
    auto& o = of(data);
    if (o.info.name.empty() && name) o.info.name = name;
}
void onXdgDescription(void* data, zxdg_output_v1*, const char* text) {
    auto& o = of(data);
    if (o.info.description.empty() && text) o.info.description = text;
}
const zxdg_output_v1_listener xdgOutputListener = {onXdgPosition, onXdgSize, onXdgDone, onXdgName, onXdgDescription};

}  // namespace

struct WaylandOutputConnection::State {
    // The listing is complete after two exchanges: the registry's globals, then the outputs'
    // events (and those of their xdg-outputs, asked for once the manager is known).
    enum class Phase { registry, outputs, ready };

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    zxdg_output_manager_v1* xdgManager = nullptr;
    wl_callback* sync = nullptr;
    Phase phase = Phase::registry;
    bool changed = false;
    std::vector<std::unique_ptr<Output>> outputs;

    ~State() {
        if (sync) wl_callback_destroy(sync);
        outputs.clear();
        if (xdgManager) zxdg_output_manager_v1_destroy(xdgManager);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }

    void watchXdg(Output& output) {
        if (!xdgManager || output.xdg) return;
        output.xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager, output.proxy);
        zxdg_output_v1_add_listener(output.xdg, &xdgOutputListener, &output);
    }

    void synchronise() {
        sync = wl_display_sync(display);
        static const wl_callback_listener listener = {[](void* data, wl_callback*, uint32_t) {
            auto* state = static_cast<State*>(data);
            wl_callback_destroy(state->sync);
            state->sync = nullptr;
            state->advance();
        }};
        wl_callback_add_listener(sync, &listener, this);
    }

    void advance() {
        if (phase == Phase::registry) {
            for (auto& o : outputs) watchXdg(*o);
            phase = Phase::outputs;
            synchronise();
        } else {
            phase = Phase::ready;
            changed = true;
        }
    }

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* state = static_cast<State*>(data);
        if (std::strcmp(interface, wl_output_interface.name) == 0) {
            auto output = std::make_unique<Output>();
            output->info.globalName = name;
            output->changed = &state->changed;
            output->proxy = static_cast<wl_output*>(
                wl_registry_bind(registry, name, &wl_output_interface, std::min<uint32_t>(version, 4)));
            wl_output_add_listener(output->proxy, &outputListener, output.get());
            // Plugged in later: its xdg-output at once, since no second exchange will ask.
            if (state->phase != Phase::registry) state->watchXdg(*output);
            state->outputs.push_back(std::move(output));
            state->changed = true;
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !state->xdgManager) {
            state->xdgManager = static_cast<zxdg_output_manager_v1*>(
                wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min<uint32_t>(version, 3)));
            if (state->phase != Phase::registry)
                for (auto& o : state->outputs) state->watchXdg(*o);
        }
    }
    static void onGlobalRemove(void* data, wl_registry*, uint32_t name) {
        auto* state = static_cast<State*>(data);
        const auto gone = std::remove_if(state->outputs.begin(), state->outputs.end(),
                                         [name](const auto& o) { return o->info.globalName == name; });
        if (gone == state->outputs.end()) return;
        state->outputs.erase(gone, state->outputs.end());
        state->changed = true;
    }
};

WaylandOutputConnection::WaylandOutputConnection(const std::filesystem::path& socket) {
    if (socket.empty()) {
        error_ = "no Wayland compositor was found";
        return;
    }
    wl_display* display = wl_display_connect(socket.c_str());
    if (!display) {
        error_ = "cannot connect to the Wayland compositor at " + socket.string() + ": " + std::strerror(errno);
        return;
    }
    state_ = std::make_unique<State>();
    state_->display = display;
    state_->registry = wl_display_get_registry(display);
    static const wl_registry_listener registryListener = {State::onGlobal, State::onGlobalRemove};
    wl_registry_add_listener(state_->registry, &registryListener, state_.get());
    state_->synchronise();
}

WaylandOutputConnection::~WaylandOutputConnection() = default;

bool WaylandOutputConnection::connected() const noexcept { return state_ != nullptr; }

bool WaylandOutputConnection::ready() const noexcept { return state_ && state_->phase == State::Phase::ready; }

bool WaylandOutputConnection::takeChange() noexcept {
    if (!ready()) return false;
    return std::exchange(state_->changed, false);
}

WaylandOutputConnection::Wait WaylandOutputConnection::wait(std::chrono::milliseconds timeout, int interrupt) {
    if (!state_) return Wait::broken;
    wl_display* display = state_->display;
    // libwayland's reading protocol: events already queued are handled first, then the socket is
    // read only once no other reader can take them.
    while (wl_display_prepare_read(display) != 0)
        if (wl_display_dispatch_pending(display) < 0) return Wait::broken;
    // A full send buffer (EAGAIN) drains while we wait; anything else is the end.
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
        wl_display_cancel_read(display);
        return Wait::broken;
    }
    pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {interrupt, POLLIN, 0}};
    const int ready = ::poll(fds, interrupt >= 0 ? 2 : 1, timeout.count() < 0 ? -1 : int(timeout.count()));
    if (ready <= 0 || !fds[0].revents) {
        wl_display_cancel_read(display);
        if (ready < 0) return errno == EINTR ? Wait::events : Wait::broken;
        return ready == 0 ? Wait::timedOut : Wait::interrupted;
    }
    if (wl_display_read_events(display) != 0 || wl_display_dispatch_pending(display) < 0) return Wait::broken;
    return Wait::events;
}

std::vector<WaylandOutput> WaylandOutputConnection::outputs() const {
    std::vector<WaylandOutput> listed;
    if (!state_) return listed;
    for (const auto& o : state_->outputs) {
        WaylandOutput info = o->info;
        const bool turned = o->transform % 2 == 1;  // 90 and 270 degrees, flipped or not
        info.pixelWidth = turned ? o->modeHeight : o->modeWidth;
        info.pixelHeight = turned ? o->modeWidth : o->modeHeight;
        if (info.logicalWidth == 0 && info.scale > 0) {
            info.logicalWidth = info.pixelWidth / info.scale;
            info.logicalHeight = info.pixelHeight / info.scale;
        }
        listed.push_back(std::move(info));
    }
    return listed;
}

}  // namespace lumora
