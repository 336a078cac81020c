#include "lumora/NotificationIndicator.h"

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <gio/gio.h>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "lumora/SessionBus.h"

namespace lumora {
namespace {

constexpr const char* serviceName = "org.freedesktop.Notifications";
constexpr const char* servicePath = "/org/freedesktop/Notifications";
constexpr const char* serviceInterface = "org.freedesktop.Notifications";
constexpr int callTimeoutMilliseconds = 3000;
// NotificationClosed reasons.
constexpr guint32 closedByUser = 2;
constexpr guint32 closedByCall = 3;

std::string markupEscaped(const std::string& text) {
    gchar* escaped = g_markup_escape_text(text.c_str(), gssize(text.size()));
    std::string result = escaped;
    g_free(escaped);
    return result;
}

}  // namespace

std::optional<NotificationIndicator::Content> NotificationIndicator::contentFor(const RecordingSession& session) {
    using State = recorder::AutomationSessionState;
    const std::string who = session.origin == RecordingOrigin::automation
                                ? "Started by an agent through local automation."
                                : "Started by you.";
    const std::string what = "“" + session.display.name + "”";
    switch (session.state) {
        case State::preparing:
            return Content{"Lumora is starting to record", "Recording " + what + ". " + who, true};
        case State::recording:
            return Content{"Lumora is recording", "Recording " + what + ". " + who, true};
        case State::stopping:
            return Content{"Lumora is saving the recording", "The recording of " + what + " is being saved. " + who,
                           false};
        default:
            return std::nullopt;
    }
}

NotificationIndicator::BusAddress NotificationIndicator::sessionBusAddress() {
    if (const char* given = std::getenv("DBUS_SESSION_BUS_ADDRESS"); given && *given) return {given, ""};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::filesystem::path folder = runtime && *runtime == '/'
                                             ? std::filesystem::path(runtime)
                                             : std::filesystem::path("/run/user/" + std::to_string(::getuid()));
    const auto socket = folder / "bus";
    std::error_code ec;
    if (!std::filesystem::is_socket(socket, ec))
        return {std::nullopt, "there is no session bus (DBUS_SESSION_BUS_ADDRESS is not set and " + socket.string() +
                                  " does not exist)"};
    gchar* escaped = g_dbus_address_escape_value(socket.c_str());
    std::string address = std::string("unix:path=") + escaped;
    g_free(escaped);
    return {address, ""};
}

// Everything the indicator's thread owns is touched on that thread only (the GLib main context
// it runs); the wanted content crosses between threads under `mutex`.
struct NotificationIndicator::Core {
    struct Wanted {
        std::string sessionID;
        Content content;
    };

    std::string busAddress;
    StopHandler stop;
    Log log;

    std::mutex mutex;
    std::condition_variable delivered;
    std::optional<Wanted> wanted;
    std::uint64_t requested = 0;
    std::uint64_t done = 0;
    bool wakePending = false;
    bool quitting = false;

    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread thread;

    // The indicator's thread only.
    GDBusConnection* connection = nullptr;
    guint subscription = 0;
    bool bodyMarkup = false;
    bool toldWhyNone = false;
    std::string lastAttempt;  // the session for which the service was last looked for
    guint32 shownID = 0;
    std::string shownSession;
    std::optional<Content> shownContent;
    std::string dismissedSession;

    void wake() {  // with `mutex` held
        if (wakePending) return;
        wakePending = true;
        GSource* source = g_idle_source_new();
        g_source_set_callback(source, &Core::onWake, this, nullptr);
        g_source_attach(source, context);
        g_source_unref(source);
    }

    static gboolean onWake(gpointer self) {
        static_cast<Core*>(self)->reconcile();
        return G_SOURCE_REMOVE;
    }

    void tellWhyNone(const std::string& why) {
        if (toldWhyNone) return;
        toldWhyNone = true;
        if (log) log("no recording indicator is shown: " + why + ". Recording works as before.");
    }

    void disconnect() {
        if (!connection) return;
        if (subscription) g_dbus_connection_signal_unsubscribe(connection, subscription);
        subscription = 0;
        g_dbus_connection_close_sync(connection, nullptr, nullptr);
        g_object_unref(connection);
        connection = nullptr;
        shownID = 0;
        shownContent.reset();
    }

    // Connects and asks the service what it supports; false (and said why, once) when there is
    // no bus or no notification service on it.
    bool connect() {
        if (connection) return true;
        std::string address = busAddress;
        if (address.empty()) {
            auto found = sessionBusAddress();
            if (!found.address) {
                tellWhyNone(found.whyNone);
                return false;
            }
            address = *found.address;
        }
        std::string why;
        connection = session_bus::connect(address, why);
        if (!connection) {
            tellWhyNone("the session bus at " + address + " cannot be reached (" + why + ")");
            return false;
        }
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(connection, serviceName, servicePath, serviceInterface,
                                                      "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
                                                      G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr, &error);
        if (!reply) {
            disconnect();
            tellWhyNone(std::string("no desktop notification service (") + serviceName +
                        ") answers on the session bus (" + session_bus::takeMessage(error) + ")");
            return false;
        }
        GVariantIter* capabilities = nullptr;
        g_variant_get(reply, "(as)", &capabilities);
        const gchar* capability = nullptr;
        bodyMarkup = false;
        while (g_variant_iter_loop(capabilities, "&s", &capability))
            if (std::string_view(capability) == "body-markup") bodyMarkup = true;
        g_variant_iter_free(capabilities);
        g_variant_unref(reply);
        subscription =
            g_dbus_connection_signal_subscribe(connection, serviceName, serviceInterface, nullptr, servicePath, nullptr,
                                               G_DBUS_SIGNAL_FLAGS_NONE, &Core::onSignal, this, nullptr);
        return true;
    }

    static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                         GVariant* parameters, gpointer self) {
        static_cast<Core*>(self)->signalled(name, parameters);
    }

    void signalled(std::string_view name, GVariant* parameters) {
        if (name == "ActionInvoked" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
            guint32 id = 0;
            const gchar* key = nullptr;
            g_variant_get(parameters, "(u&s)", &id, &key);
            if (id != 0 && id == shownID && std::string_view(key) == stopActionKey && stop) stop(shownSession);
        } else if (name == "NotificationClosed" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
            guint32 id = 0, reason = 0;
            g_variant_get(parameters, "(uu)", &id, &reason);
            if (id == 0 || id != shownID || reason == closedByCall) return;
            // Dismissed by the user: not raised again for this recording. Expired (a server
            // that ignores residency): raised again.
            if (reason == closedByUser) dismissedSession = shownSession;
            shownID = 0;
            shownContent.reset();
            std::lock_guard lock(mutex);
            wake();
        }
    }

    bool notify(const Content& content) {
        GVariantBuilder actions;
        g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
        if (content.stoppable) {
            g_variant_builder_add(&actions, "s", stopActionKey);
            g_variant_builder_add(&actions, "s", stopActionLabel);
        }
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&hints, "{sv}", "resident", g_variant_new_boolean(TRUE));
        g_variant_builder_add(&hints, "{sv}", "transient", g_variant_new_boolean(FALSE));
        g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(LUMORA_BUNDLE_IDENTIFIER));
        g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
        const std::string body = bodyMarkup ? markupEscaped(content.body) : content.body;
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, serviceName, servicePath, serviceInterface, "Notify",
            g_variant_new("(susssasa{sv}i)", "Lumora", shownID, "media-record", content.summary.c_str(), body.c_str(),
                          &actions, &hints, 0),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr, &error);
        if (!reply) {
            // The service went away: look for it again at the next recording.
            disconnect();
            tellWhyNone(std::string("the desktop notification service stopped answering (") +
                        session_bus::takeMessage(error) + ")");
            return false;
        }
        g_variant_get(reply, "(u)", &shownID);
        g_variant_unref(reply);
        shownContent = content;
        return true;
    }

    void closeShown() {
        if (!connection || shownID == 0) return;
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(connection, serviceName, servicePath, serviceInterface,
                                                      "CloseNotification", g_variant_new("(u)", shownID), nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, callTimeoutMilliseconds, nullptr, &error);
        if (reply)
            g_variant_unref(reply);
        else
            g_error_free(error);
        shownID = 0;
        shownContent.reset();
    }

    // Brings what the service shows in line with what is wanted.
    void reconcile() {
        std::optional<Wanted> target;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(mutex);
            wakePending = false;
            target = wanted;
            generation = requested;
        }
        if (target) {
            if (target->sessionID != shownSession) {
                shownSession = target->sessionID;
                shownContent.reset();
            }
            bool reachable = connection != nullptr;
            if (!reachable && target->sessionID != lastAttempt) {
                lastAttempt = target->sessionID;
                reachable = connect();
            }
            if (reachable && target->sessionID != dismissedSession && shownContent != target->content)
                notify(target->content);
        } else {
            closeShown();
        }
        std::lock_guard lock(mutex);
        done = std::max(done, generation);
        delivered.notify_all();
    }

    static gboolean onQuit(gpointer self) {
        auto* core = static_cast<Core*>(self);
        core->reconcile();
        g_main_loop_quit(core->loop);
        return G_SOURCE_REMOVE;
    }

    void run() {
        g_main_context_push_thread_default(context);
        g_main_loop_run(loop);
        disconnect();
        // Let go of what the closed connection still had queued here.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
    }
};

NotificationIndicator::NotificationIndicator(std::string busAddress, StopHandler stop, Log log)
    : core_(std::make_unique<Core>()) {
    core_->busAddress = std::move(busAddress);
    core_->stop = std::move(stop);
    core_->log = std::move(log);
    core_->context = g_main_context_new();
    core_->loop = g_main_loop_new(core_->context, FALSE);
    core_->thread = std::thread([core = core_.get()] { core->run(); });
}

NotificationIndicator::~NotificationIndicator() {
    {
        std::lock_guard lock(core_->mutex);
        core_->wanted.reset();
        ++core_->requested;
        core_->quitting = true;
        // The last reconcile closes what is shown; then the loop ends.
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_LOW);
        g_source_set_callback(source, &Core::onQuit, core_.get(), nullptr);
        g_source_attach(source, core_->context);
        g_source_unref(source);
    }
    core_->thread.join();
    g_main_loop_unref(core_->loop);
    g_main_context_unref(core_->context);
}

void NotificationIndicator::update(const RecordingSession& session) {
    auto content = contentFor(session);
    std::lock_guard lock(core_->mutex);
    if (core_->quitting) return;
    if (content) {
        core_->wanted = Core::Wanted{session.id, *content};
    } else if (core_->wanted && core_->wanted->sessionID == session.id) {
        core_->wanted.reset();
    } else {
        return;  // an end of a session that is not shown
    }
    ++core_->requested;
    core_->wake();
}

bool NotificationIndicator::waitUntilDelivered(std::chrono::milliseconds timeout) {
    std::unique_lock lock(core_->mutex);
    const auto target = core_->requested;
    return core_->delivered.wait_for(lock, timeout, [&] { return core_->done >= target; });
}

}  // namespace lumora
