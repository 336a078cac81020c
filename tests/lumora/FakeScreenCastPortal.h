#pragma once
// A stand-in for the desktop's screen-cast portal on a private session bus of its own (a
// dbus-daemon run for the test): it answers CreateSession, SelectSources, Start and
// OpenPipeWireRemote the way the real portal does (request objects, Response signals), as the
// test tells it to, and records what it was asked.

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <atomic>
#include <csignal>
#include <poll.h>
#include <unistd.h>

#include "tests/lumora/PrivateSessionBus.h"

namespace testsupport {

class FakeScreenCastPortal {
public:
    struct Behaviour {
        std::uint32_t selectResponse = 0;
        std::optional<std::uint32_t> startResponse = 0;  // nothing: Start is never answered
        bool refuseTokens = false;                       // SelectSources with a token fails
        std::string restoreToken = "11111111-2222-4333-8444-555555555555";
        std::uint32_t version = 4;
    };
    struct Seen {
        int starts = 0;  // Start calls: where a real desktop would ask the user without a token
        std::optional<std::string> restoreToken;
        std::optional<std::uint32_t> persistMode, cursorMode, types;
        int closedRequests = 0;
        int closedSessions = 0;
    };

    FakeScreenCastPortal(std::string address, Behaviour behaviour)
        : address_(std::move(address)), behaviour_(std::move(behaviour)) {
        thread_ = std::thread([this] { serve(); });
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ready_; });
    }
    ~FakeScreenCastPortal() {
        if (loop_) {
            GSource* idle = g_idle_source_new();
            g_source_set_callback(
                idle,
                [](gpointer loop) -> gboolean {
                    g_main_loop_quit(static_cast<GMainLoop*>(loop));
                    return G_SOURCE_REMOVE;
                },
                loop_, nullptr);
            g_source_attach(idle, context_);
            g_source_unref(idle);
        }
        thread_.join();
    }
    bool ready() {
        std::lock_guard lock(mutex_);
        return ready_ && owned_;
    }
    Seen seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    void setBehaviour(Behaviour b) {
        std::lock_guard lock(mutex_);
        behaviour_ = std::move(b);
    }

private:
    static constexpr const char* xml = R"(<node>
  <interface name="org.freedesktop.portal.ScreenCast">
    <method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="SelectSources"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="Start"><arg type="o" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="OpenPipeWireRemote"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="h" direction="out"/></method>
    <property name="version" type="u" access="read"/>
    <property name="AvailableCursorModes" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Request"><method name="Close"/></interface>
  <interface name="org.freedesktop.portal.Session"><method name="Close"/></interface>
</node>)";

    static std::string munged(const char* sender) {
        std::string s = sender + 1;
        for (auto& c : s)
            if (c == '.') c = '_';
        return s;
    }

    void registerAt(const std::string& path, int interface) {
        static const GDBusInterfaceVTable vtable = {onMethod, onProperty, nullptr, {}};
        g_dbus_connection_register_object(connection_, path.c_str(), info_->interfaces[interface], &vtable, this,
                                          nullptr, nullptr);
    }

    // Answers a request: its object now, its Response signal right after.
    void answer(GDBusMethodInvocation* invocation, GVariant* options, std::optional<std::uint32_t> code,
                GVariant* results) {
        const char* sender = g_dbus_method_invocation_get_sender(invocation);
        const gchar* token = "t";
        g_variant_lookup(options, "handle_token", "&s", &token);
        const std::string path = "/org/freedesktop/portal/desktop/request/" + munged(sender) + "/" + token;
        registerAt(path, 1);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
        if (!code) {
            if (results) g_variant_unref(g_variant_ref_sink(results));
            return;
        }
        if (!results) results = g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0);
        g_dbus_connection_emit_signal(connection_, sender, path.c_str(), "org.freedesktop.portal.Request", "Response",
                                      g_variant_new("(u@a{sv})", *code, results), nullptr);
    }

    static void onMethod(GDBusConnection*, const gchar* sender, const gchar* path, const gchar* interface,
                         const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<FakeScreenCastPortal*>(data);
        std::unique_lock lock(self->mutex_);
        const std::string m = method;
        if (std::string(interface) == "org.freedesktop.portal.Request") {
            self->seen_.closedRequests++;
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        if (std::string(interface) == "org.freedesktop.portal.Session") {
            self->seen_.closedSessions++;
            g_dbus_method_invocation_return_value(invocation, nullptr);
            return;
        }
        (void)path;
        if (m == "CreateSession") {
            GVariant* options = g_variant_get_child_value(parameters, 0);
            const gchar* token = "s";
            g_variant_lookup(options, "session_handle_token", "&s", &token);
            const std::string session = "/org/freedesktop/portal/desktop/session/" + munged(sender) + "/" + token;
            self->registerAt(session, 2);
            GVariantBuilder results;
            g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&results, "{sv}", "session_handle", g_variant_new_string(session.c_str()));
            self->answer(invocation, options, 0u, g_variant_builder_end(&results));
            g_variant_unref(options);
        } else if (m == "SelectSources") {
            GVariant* options = g_variant_get_child_value(parameters, 1);
            const gchar* token = nullptr;
            std::uint32_t value = 0;
            self->seen_.restoreToken.reset();
            if (g_variant_lookup(options, "restore_token", "&s", &token)) self->seen_.restoreToken = token;
            if (g_variant_lookup(options, "persist_mode", "u", &value)) self->seen_.persistMode = value;
            if (g_variant_lookup(options, "cursor_mode", "u", &value)) self->seen_.cursorMode = value;
            if (g_variant_lookup(options, "types", "u", &value)) self->seen_.types = value;
            if (token && self->behaviour_.refuseTokens) {
                g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.InvalidArgument",
                                                           "Restore token is not a valid UUID string");
            } else {
                self->answer(invocation, options, self->behaviour_.selectResponse, nullptr);
            }
            g_variant_unref(options);
        } else if (m == "Start") {
            self->seen_.starts++;
            GVariant* options = g_variant_get_child_value(parameters, 2);
            GVariantBuilder props;
            g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&props, "{sv}", "position", g_variant_new("(ii)", 0, 0));
            g_variant_builder_add(&props, "{sv}", "size", g_variant_new("(ii)", 1280, 720));
            GVariantBuilder streams;
            g_variant_builder_init(&streams, G_VARIANT_TYPE("a(ua{sv})"));
            g_variant_builder_add(&streams, "(u@a{sv})", 42u, g_variant_builder_end(&props));
            GVariantBuilder results;
            g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&results, "{sv}", "streams", g_variant_builder_end(&streams));
            if (!self->behaviour_.restoreToken.empty())
                g_variant_builder_add(&results, "{sv}", "restore_token",
                                      g_variant_new_string(self->behaviour_.restoreToken.c_str()));
            self->answer(invocation, options, self->behaviour_.startResponse, g_variant_builder_end(&results));
            g_variant_unref(options);
        } else if (m == "OpenPipeWireRemote") {
            int pipe[2];
            if (::pipe(pipe) != 0) {
                g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "no pipe");
                return;
            }
            GUnixFDList* fds = g_unix_fd_list_new_from_array(&pipe[0], 1);
            self->writeEnd_ = pipe[1];
            g_dbus_method_invocation_return_value_with_unix_fd_list(invocation, g_variant_new("(h)", 0), fds);
            g_object_unref(fds);
        }
    }

    static GVariant* onProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError**,
                                gpointer data) {
        auto* self = static_cast<FakeScreenCastPortal*>(data);
        std::lock_guard lock(self->mutex_);
        if (std::string(name) == "version") return g_variant_new_uint32(self->behaviour_.version);
        return g_variant_new_uint32(7);
    }

    void serve() {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        connection_ =
            g_dbus_connection_new_for_address_sync(address_.c_str(),
                                                   GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                                   nullptr, nullptr, nullptr);
        if (connection_) {
            info_ = g_dbus_node_info_new_for_xml(xml, nullptr);
            registerAt("/org/freedesktop/portal/desktop", 0);
            GVariant* r = g_dbus_connection_call_sync(
                connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                g_variant_new("(su)", "org.freedesktop.portal.Desktop", 4u), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
            std::uint32_t reply = 0;
            if (r) g_variant_get(r, "(u)", &reply), g_variant_unref(r);
            loop_ = g_main_loop_new(context_, FALSE);
            {
                std::lock_guard lock(mutex_);
                owned_ = reply == 1;
                ready_ = true;
            }
            changed_.notify_all();
            g_main_loop_run(loop_);
            g_main_loop_unref(loop_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
            g_dbus_node_info_unref(info_);
        } else {
            std::lock_guard lock(mutex_);
            ready_ = true;
            changed_.notify_all();
        }
        if (writeEnd_ >= 0) ::close(writeEnd_);
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    std::string address_;
    Behaviour behaviour_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false, owned_ = false;
    Seen seen_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    GDBusNodeInfo* info_ = nullptr;
    int writeEnd_ = -1;
    std::thread thread_;
};

}  // namespace testsupport
