#include "lumora/ScreenCastPortal.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "lumora/SessionBus.h"

namespace lumora {
namespace {

using recorder::AutomationErrorCode;
using Clock = std::chrono::steady_clock;

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";

std::string seconds(std::chrono::milliseconds ms) {
    auto s = (ms.count() + 500) / 1000;
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

using session_bus::takeMessage;

// Makes `context` the thread's default for the scope: signal subscriptions deliver there.
class ContextScope {
public:
    explicit ContextScope(GMainContext* context) : context_(context) { g_main_context_push_thread_default(context_); }
    ~ContextScope() { g_main_context_pop_thread_default(context_); }

private:
    GMainContext* context_;
};

const char* stepName(PortalStep step) {
    switch (step) {
        case PortalStep::createSession:
            return "CreateSession";
        case PortalStep::selectSources:
            return "SelectSources";
        case PortalStep::start:
            return "Start";
    }
    return "request";
}

}  // namespace

const char* const screenAccessHint =
    "Ask the user to run \"Lumora --grant-screen-access\" once and allow sharing the screen (or to allow the "
    "desktop's screen-sharing dialog when it appears), then start the recording again.";

std::optional<CaptureError> portalResponseError(PortalStep step, std::optional<std::uint32_t> response,
                                                std::chrono::milliseconds waited) {
    if (response && *response == 0) return std::nullopt;
    const bool asksUser = step != PortalStep::createSession;
    if (!asksUser) {
        return CaptureError{
            AutomationErrorCode::captureFailed,
            response ? "The desktop's screen-cast portal could not open a session (response " +
                           std::to_string(*response) + ")."
                     : "The desktop's screen-cast portal did not open a session within " + seconds(waited) + ".",
            std::nullopt};
    }
    std::string message;
    if (!response)
        message = "Nobody answered the desktop's request to share the screen within " + seconds(waited) +
                  "; nothing was recorded.";
    else if (*response == 1)
        message =
            "The user did not allow Lumora to record the screen (the desktop's screen-sharing request was "
            "cancelled).";
    else
        message = "The desktop did not grant Lumora access to the screen (its screen-cast portal ended the " +
                  std::string(stepName(step)) + " request with response " + std::to_string(*response) + ").";
    return CaptureError{AutomationErrorCode::permissionRequired, message, std::string(screenAccessHint)};
}

struct ScreenCastPortal::State {
    std::string busAddress;
    Timing timing;
    std::function<bool()> cancelled;
    GMainContext* context = nullptr;
    GDBusConnection* connection = nullptr;
    std::string sender;  // the connection's unique name as request paths spell it
    std::string sessionHandle;
    int sequence = 0;
    bool tokenRefused = false;

    struct Reply {
        bool answered = false;
        std::uint32_t code = 2;
        GVariant* results = nullptr;
    };

    ~State() {
        if (connection) {
            if (!sessionHandle.empty()) {
                ContextScope scope(context);
                GVariant* r = g_dbus_connection_call_sync(connection, portalName, sessionHandle.c_str(),
                                                          "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                                                          G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
                if (r) g_variant_unref(r);
            }
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
        if (context) g_main_context_unref(context);
    }

    std::optional<CaptureError> connect() {
        if (connection) return std::nullopt;
        std::string why;
        connection = session_bus::connect(busAddress, why);
        if (!connection)
            return CaptureError{AutomationErrorCode::captureFailed,
                                "The desktop's session bus cannot be reached (" + why + ").", std::nullopt};
        const char* unique = g_dbus_connection_get_unique_name(connection);
        sender = unique ? unique + (unique[0] == ':' ? 1 : 0) : "";
        for (auto& c : sender)
            if (c == '.') c = '_';
        return std::nullopt;
    }

    std::optional<std::uint32_t> property(const char* name) {
        GVariant* r = g_dbus_connection_call_sync(connection, portalName, portalPath, "org.freedesktop.DBus.Properties",
                                                  "Get", g_variant_new("(ss)", screenCast, name), G_VARIANT_TYPE("(v)"),
                                                  G_DBUS_CALL_FLAGS_NONE, int(timing.call.count()), nullptr, nullptr);
        if (!r) return std::nullopt;
        GVariant* inner = nullptr;
        g_variant_get(r, "(v)", &inner);
        std::optional<std::uint32_t> value;
        if (g_variant_is_of_type(inner, G_VARIANT_TYPE_UINT32)) value = g_variant_get_uint32(inner);
        g_variant_unref(inner);
        g_variant_unref(r);
        return value;
    }

    static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, gpointer data) {
        auto* reply = static_cast<Reply*>(data);
        if (reply->answered || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
        reply->answered = true;
        g_variant_get(parameters, "(u@a{sv})", &reply->code, &reply->results);
    }

    // Calls a portal method that answers through a request object and waits for the answer.
    // `arguments` gets the options dictionary (with handle_token added) as its last member.
    using Result = std::variant<GVariant*, CaptureError, CaptureCancelled>;
    Result request(PortalStep step, const char* method, std::function<GVariant*(GVariant* options)> arguments,
                   GVariantBuilder* options, std::chrono::milliseconds wait) {
        const std::string token = "lumora" + std::to_string(::getpid()) + "_" + std::to_string(++sequence);
        std::string path = std::string(portalPath) + "/request/" + sender + "/" + token;
        g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        Reply reply;
        // Subscribed before the call: a quick portal answers before the call returns.
        guint subscription = g_dbus_connection_signal_subscribe(connection, nullptr, "org.freedesktop.portal.Request",
                                                                "Response", path.c_str(), nullptr,
                                                                G_DBUS_SIGNAL_FLAGS_NONE, onResponse, &reply, nullptr);
        GError* error = nullptr;
        GVariant* handle = g_dbus_connection_call_sync(
            connection, portalName, portalPath, screenCast, method, arguments(g_variant_builder_end(options)),
            G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, int(timing.call.count()), nullptr, &error);
        if (!handle) {
            g_dbus_connection_signal_unsubscribe(connection, subscription);
            return CaptureError{
                AutomationErrorCode::captureFailed,
                "The desktop's screen-cast portal refused " + std::string(method) + " (" + takeMessage(error) + ").",
                std::nullopt};
        }
        const gchar* actual = nullptr;
        g_variant_get(handle, "(&o)", &actual);
        if (path != actual) {
            // An older portal picks its own path; listen there instead.
            g_dbus_connection_signal_unsubscribe(connection, subscription);
            path = actual;
            subscription = g_dbus_connection_signal_subscribe(connection, nullptr, "org.freedesktop.portal.Request",
                                                              "Response", path.c_str(), nullptr,
                                                              G_DBUS_SIGNAL_FLAGS_NONE, onResponse, &reply, nullptr);
        }
        g_variant_unref(handle);

        const auto deadline = Clock::now() + wait;
        GSource* tick = g_timeout_source_new(50);  // wakes the loop to look at the clock and `cancelled`
        g_source_set_callback(
            tick, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
        g_source_attach(tick, context);
        bool stopped = false;
        while (!reply.answered && Clock::now() < deadline) {
            if (cancelled && cancelled()) {
                stopped = true;
                break;
            }
            g_main_context_iteration(context, TRUE);
        }
        g_source_destroy(tick);
        g_source_unref(tick);
        g_dbus_connection_signal_unsubscribe(connection, subscription);
        if (!reply.answered) {
            // Withdraws the question (a dialog the user still sees closes).
            GVariant* r =
                g_dbus_connection_call_sync(connection, portalName, path.c_str(), "org.freedesktop.portal.Request",
                                            "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
            if (r) g_variant_unref(r);
            if (stopped) return CaptureCancelled{};
            return *portalResponseError(step, std::nullopt, wait);
        }
        if (auto failure = portalResponseError(step, reply.code, wait)) {
            if (reply.results) g_variant_unref(reply.results);
            return *failure;
        }
        return reply.results;
    }
};

ScreenCastPortal::ScreenCastPortal(std::string busAddress, Timing timing, std::function<bool()> cancelled)
    : state_(std::make_unique<State>()) {
    state_->busAddress = std::move(busAddress);
    state_->timing = timing;
    state_->cancelled = std::move(cancelled);
    state_->context = g_main_context_new();
}

ScreenCastPortal::~ScreenCastPortal() = default;

ScreenCastPortal::Answer ScreenCastPortal::open(const std::optional<std::string>& restoreToken) {
    auto& s = *state_;
    ContextScope scope(s.context);
    if (auto failure = s.connect()) return *failure;

    // CreateSession
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    const std::string sessionToken = "lumora_session" + std::to_string(::getpid()) + "_" + std::to_string(++s.sequence);
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string(sessionToken.c_str()));
    auto created = s.request(
        PortalStep::createSession, "CreateSession", [](GVariant* o) { return g_variant_new("(@a{sv})", o); }, &options,
        s.timing.call);
    if (auto* failure = std::get_if<CaptureError>(&created)) return *failure;
    if (std::holds_alternative<CaptureCancelled>(created)) return CaptureCancelled{};
    GVariant* results = std::get<GVariant*>(created);
    const gchar* handle = nullptr;
    if (results && g_variant_lookup(results, "session_handle", "&s", &handle)) s.sessionHandle = handle;
    if (results) g_variant_unref(results);
    if (s.sessionHandle.empty())
        return CaptureError{AutomationErrorCode::captureFailed,
                            "The desktop's screen-cast portal opened no session (its answer had no session handle).",
                            std::nullopt};

    // SelectSources: one monitor; restore tokens came with version 4 of the interface.
    const auto version = s.property("version").value_or(1);
    const auto cursorModes = s.property("AvailableCursorModes").value_or(0);
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(1));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    if (cursorModes & 2) g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(2));
    if (version >= 4) {
        g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(2));
        if (restoreToken)
            g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(restoreToken->c_str()));
    }
    const std::string session = s.sessionHandle;
    auto selected = s.request(
        PortalStep::selectSources, "SelectSources",
        [&](GVariant* o) { return g_variant_new("(o@a{sv})", session.c_str(), o); }, &options, s.timing.consent);
    if (auto* failure = std::get_if<CaptureError>(&selected)) {
        // The call itself refused (not the user): with a token, the token is what it refused.
        s.tokenRefused = restoreToken && version >= 4 && failure->code == AutomationErrorCode::captureFailed;
        return *failure;
    }
    if (std::holds_alternative<CaptureCancelled>(selected)) return CaptureCancelled{};
    if (auto* r = std::get<GVariant*>(selected)) g_variant_unref(r);

    // Start: where the desktop asks the user, unless the restore token stands for an earlier yes.
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    auto started = s.request(
        PortalStep::start, "Start", [&](GVariant* o) { return g_variant_new("(os@a{sv})", session.c_str(), "", o); },
        &options, s.timing.consent);
    if (auto* failure = std::get_if<CaptureError>(&started)) return *failure;
    if (std::holds_alternative<CaptureCancelled>(started)) return CaptureCancelled{};
    results = std::get<GVariant*>(started);
    Grant grant;
    bool haveStream = false;
    if (results) {
        GVariant* streams = g_variant_lookup_value(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
        if (streams && g_variant_n_children(streams) > 0) {
            GVariant* properties = nullptr;
            g_variant_get_child(streams, 0, "(u@a{sv})", &grant.stream.node, &properties);
            gint32 a = 0, b = 0;
            if (g_variant_lookup(properties, "position", "(ii)", &a, &b)) grant.stream.x = a, grant.stream.y = b;
            if (g_variant_lookup(properties, "size", "(ii)", &a, &b)) grant.stream.width = a, grant.stream.height = b;
            g_variant_unref(properties);
            haveStream = true;
        }
        if (streams) g_variant_unref(streams);
        const gchar* token = nullptr;
        if (g_variant_lookup(results, "restore_token", "&s", &token)) grant.restoreToken = token;
        g_variant_unref(results);
    }
    if (!haveStream)
        return CaptureError{AutomationErrorCode::captureFailed,
                            "The desktop's screen-cast portal granted access but handed over no stream.", std::nullopt};
    return grant;
}

bool ScreenCastPortal::restoreTokenRefused() const { return state_->tokenRefused; }

std::variant<int, CaptureError> ScreenCastPortal::openPipeWireRemote() {
    auto& s = *state_;
    ContextScope scope(s.context);
    if (!s.connection || s.sessionHandle.empty())
        return CaptureError{AutomationErrorCode::captureFailed, "No screen-cast session is open.", std::nullopt};
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* r = g_dbus_connection_call_with_unix_fd_list_sync(
        s.connection, portalName, portalPath, screenCast, "OpenPipeWireRemote",
        g_variant_new("(o@a{sv})", s.sessionHandle.c_str(), g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, int(s.timing.call.count()), nullptr, &fds, nullptr, &error);
    if (!r)
        return CaptureError{
            AutomationErrorCode::captureFailed,
            "The desktop's screen-cast portal did not hand over the stream (" + takeMessage(error) + ").",
            std::nullopt};
    gint32 index = -1;
    g_variant_get(r, "(h)", &index);
    g_variant_unref(r);
    int fd = fds ? g_unix_fd_list_get(fds, index, &error) : -1;
    if (fds) g_object_unref(fds);
    if (fd < 0)
        return CaptureError{
            AutomationErrorCode::captureFailed,
            "The desktop's screen-cast portal handed over no usable stream connection (" + takeMessage(error) + ").",
            std::nullopt};
    return fd;
}

bool ScreenCastPortal::reachable(const std::string& busAddress, std::chrono::milliseconds timeout, std::string* why) {
    GMainContext* context = g_main_context_new();
    bool ok = false;
    {
        ContextScope scope(context);
        std::string failure;
        GDBusConnection* connection = session_bus::connect(busAddress, failure);
        if (!connection) {
            if (why) *why = "the session bus cannot be reached: " + failure;
        } else {
            GError* error = nullptr;
            GVariant* r =
                g_dbus_connection_call_sync(connection, portalName, portalPath, "org.freedesktop.DBus.Properties",
                                            "Get", g_variant_new("(ss)", screenCast, "version"), G_VARIANT_TYPE("(v)"),
                                            G_DBUS_CALL_FLAGS_NONE, int(timeout.count()), nullptr, &error);
            if (r) {
                ok = true;
                g_variant_unref(r);
            } else if (why) {
                *why = "the session bus has no screen-cast portal: " + takeMessage(error);
            }
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
    }
    g_main_context_unref(context);
    return ok;
}

}  // namespace lumora
