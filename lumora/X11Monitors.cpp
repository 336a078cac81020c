#include "lumora/X11Monitors.h"

#include <cstdlib>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace lumora {
namespace {

// A reply from xcb, freed with free() as xcb asks.
struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

// Takes the reply for `cookie`; an X error is dropped (the caller sees no reply).
template <typename T, typename Cookie, typename Fetch>
Reply<T> fetch(xcb_connection_t* c, Cookie cookie, Fetch function) {
    xcb_generic_error_t* error = nullptr;
    Reply<T> reply(function(c, cookie, &error));
    std::free(error);
    return reply;
}

}  // namespace

std::unique_ptr<X11Monitors> X11Monitors::connect(const std::string& display) {
    if (display.empty()) return nullptr;
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(display.c_str(), &screenNumber);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return nullptr;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem <= 0) {
        xcb_disconnect(c);
        return nullptr;
    }
    std::unique_ptr<X11Monitors> monitors(new X11Monitors(c, screens.data->root, display));

    const auto* extension = xcb_get_extension_data(c, &xcb_randr_id);
    if (extension && extension->present) {
        auto version =
            fetch<xcb_randr_query_version_reply_t>(c, xcb_randr_query_version(c, 1, 5), xcb_randr_query_version_reply);
        if (version) {
            monitors->randr_ = true;
            monitors->randrFirstEvent_ = extension->first_event;
            monitors->randrMinor_ = version->major_version > 1 ? 99 : version->minor_version;
        }
    }
    if (monitors->broken()) return nullptr;
    return monitors;
}

X11Monitors::X11Monitors(xcb_connection_t* connection, std::uint32_t root, std::string display)
    : connection_(connection), root_(root), display_(std::move(display)) {}

X11Monitors::~X11Monitors() { xcb_disconnect(connection_); }

bool X11Monitors::broken() const { return xcb_connection_has_error(connection_) != 0; }

std::optional<std::vector<X11Monitor>> X11Monitors::monitors() {
    std::vector<X11Monitor> found;
    if (!randr_ || randrMinor_ < 5) return found;  // monitors came with RandR 1.5
    auto reply = fetch<xcb_randr_get_monitors_reply_t>(connection_, xcb_randr_get_monitors(connection_, root_, 1),
                                                       xcb_randr_get_monitors_reply);
    if (!reply) return broken() ? std::nullopt : std::optional(found);
    // Every name is asked for before any answer is awaited: one round trip for all of them.
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        X11Monitor m;
        m.x = it.data->x;
        m.y = it.data->y;
        m.width = it.data->width;
        m.height = it.data->height;
        m.primary = it.data->primary != 0;
        found.push_back(std::move(m));
        names.push_back(xcb_get_atom_name(connection_, it.data->name));
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        auto name = fetch<xcb_get_atom_name_reply_t>(connection_, names[i], xcb_get_atom_name_reply);
        if (name)
            found[i].name.assign(xcb_get_atom_name_name(name.get()),
                                 std::size_t(xcb_get_atom_name_name_length(name.get())));
    }
    if (broken()) return std::nullopt;
    return found;
}

std::optional<std::vector<CaptureDisplay>> X11Monitors::read() {
    auto listed = monitors();
    if (!listed) return std::nullopt;
    // The root window's size now: the connection's set-up data keeps the size it had at connect.
    auto geometry =
        fetch<xcb_get_geometry_reply_t>(connection_, xcb_get_geometry(connection_, root_), xcb_get_geometry_reply);
    if (!geometry) return std::nullopt;
    return displaysOf(*listed, geometry->width, geometry->height, display_);
}

void X11Monitors::selectChanges() {
    // Unchecked: a refusal arrives as an error event, which isChange() passes over, and the
    // connection is watched all the same (its end is what drops the list).
    const std::uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &events);
    if (randr_) {
        std::uint16_t mask = XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE;
        if (randrMinor_ >= 2)
            mask |= XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                    XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY;
        if (randrMinor_ >= 4)
            mask |= XCB_RANDR_NOTIFY_MASK_PROVIDER_CHANGE | XCB_RANDR_NOTIFY_MASK_PROVIDER_PROPERTY |
                    XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE;
        xcb_randr_select_input(connection_, root_, mask);
    }
    xcb_flush(connection_);
}

bool X11Monitors::isChange(const xcb_generic_event_t& event) const {
    const int type = event.response_type & 0x7f;  // the top bit marks events sent by clients
    if (type == XCB_CONFIGURE_NOTIFY)
        return reinterpret_cast<const xcb_configure_notify_event_t&>(event).window == root_;
    return randr_ &&
           (type == randrFirstEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrFirstEvent_ + XCB_RANDR_NOTIFY);
}

std::vector<CaptureDisplay> X11Monitors::displaysOf(const std::vector<X11Monitor>& monitors, std::int64_t rootWidth,
                                                    std::int64_t rootHeight, const std::string& displayName) {
    std::vector<CaptureDisplay> primary, others;
    for (const auto& m : monitors) {
        // A monitor without a name cannot be asked for by id.
        if (m.name.empty() || m.width <= 0 || m.height <= 0) continue;
        CaptureDisplay d;
        d.id = m.name;
        d.name = "Monitor " + m.name + " on " + displayName;
        d.pixelWidth = m.width;
        d.pixelHeight = m.height;
        d.originX = m.x;
        d.originY = m.y;
        (m.primary && primary.empty() ? primary : others).push_back(std::move(d));
    }
    primary.insert(primary.end(), others.begin(), others.end());
    if (!primary.empty()) {
        primary.front().isDefault = true;
        return primary;
    }
    if (rootWidth <= 0 || rootHeight <= 0) return {};
    CaptureDisplay screen;
    screen.id = "screen";
    screen.name = "Screen of " + displayName;
    screen.pixelWidth = rootWidth;
    screen.pixelHeight = rootHeight;
    screen.isDefault = true;
    return {screen};
}

}  // namespace lumora
