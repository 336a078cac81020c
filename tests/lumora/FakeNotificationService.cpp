#include "tests/lumora/FakeNotificationService.h"

#include <gio/gio.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {
namespace {

constexpr const char* introspection = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="as" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
</node>)";

}  // namespace

FakeNotificationService::FakeNotificationService(const std::string& address, std::vector<std::string> capabilities)
    : capabilities_(std::move(capabilities)) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    // Method calls are dispatched on the context that is the thread's default at registration.
    g_main_context_push_thread_default(context_);
    GError* error = nullptr;
    connection_ =
        g_dbus_connection_new_for_address_sync(address.c_str(),
                                               GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                               nullptr, nullptr, &error);
    if (!connection_) {
        g_main_context_pop_thread_default(context_);
        std::string why = error->message;
        g_error_free(error);
        throw std::runtime_error("the fake notification service cannot connect: " + why);
    }
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
    static const GDBusInterfaceVTable vtable = {&FakeNotificationService::onMethodCall, nullptr, nullptr, {}};
    registration_ = g_dbus_connection_register_object(connection_, "/org/freedesktop/Notifications",
                                                      node->interfaces[0], &vtable, this, nullptr, nullptr);
    g_dbus_node_info_unref(node);
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.Notifications", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, nullptr);
    if (reply) g_variant_unref(reply);
    g_main_context_pop_thread_default(context_);
    thread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
}

FakeNotificationService::~FakeNotificationService() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_dbus_connection_unregister_object(connection_, registration_);
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void FakeNotificationService::onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                                           GVariant* parameters, GDBusMethodInvocation* invocation, void* self) {
    static_cast<FakeNotificationService*>(self)->methodCall(method, parameters, invocation);
}

void FakeNotificationService::methodCall(const std::string& method, GVariant* parameters,
                                         GDBusMethodInvocation* invocation) {
    if (method == "GetCapabilities") {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
        for (const auto& c : capabilities_) g_variant_builder_add(&list, "s", c.c_str());
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(as)", &list));
    } else if (method == "GetServerInformation") {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "Fake", "tests", "1", "1.2"));
    } else if (method == "Notify") {
        Notification n;
        const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
        GVariantIter *actions = nullptr, *hints = nullptr;
        g_variant_get(parameters, "(&su&s&s&sasa{sv}i)", &app, &n.replacesID, &icon, &summary, &body, &actions, &hints,
                      &n.expireTimeout);
        n.appName = app, n.icon = icon, n.summary = summary, n.body = body;
        const gchar* action = nullptr;
        while (g_variant_iter_loop(actions, "&s", &action)) n.actions.push_back(action);
        g_variant_iter_free(actions);
        const gchar* key = nullptr;
        GVariant* value = nullptr;
        while (g_variant_iter_loop(hints, "{&sv}", &key, &value)) {
            const std::string k = key;
            if (k == "resident" && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                n.resident = g_variant_get_boolean(value);
            if (k == "transient" && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN))
                n.transient = g_variant_get_boolean(value);
            if (k == "desktop-entry" && g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
                n.desktopEntry = g_variant_get_string(value, nullptr);
        }
        g_variant_iter_free(hints);
        {
            std::lock_guard lock(mutex_);
            bool known = false;
            for (const auto& earlier : notifications_) known = known || earlier.id == n.replacesID;
            for (auto id : closed_) known = known && id != n.replacesID;
            n.id = (n.replacesID != 0 && known) ? n.replacesID : nextID_++;
            notifications_.push_back(n);
            changed_.notify_all();
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", n.id));
    } else if (method == "CloseNotification") {
        guint32 id = 0;
        g_variant_get(parameters, "(u)", &id);
        {
            std::lock_guard lock(mutex_);
            closed_.push_back(id);
            changed_.notify_all();
        }
        g_dbus_connection_emit_signal(connection_, nullptr, "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", "NotificationClosed",
                                      g_variant_new("(uu)", id, 3u), nullptr);
        g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                                   method.c_str());
    }
}

std::vector<FakeNotificationService::Notification> FakeNotificationService::notifications() {
    std::lock_guard lock(mutex_);
    return notifications_;
}

std::vector<std::uint32_t> FakeNotificationService::closed() {
    std::lock_guard lock(mutex_);
    return closed_;
}

void FakeNotificationService::invokeAction(std::uint32_t id, const std::string& key) {
    g_dbus_connection_emit_signal(connection_, nullptr, "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "ActionInvoked",
                                  g_variant_new("(us)", id, key.c_str()), nullptr);
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
}

bool FakeNotificationService::waitFor(
    const std::function<bool(const std::vector<Notification>&, const std::vector<std::uint32_t>&)>& condition,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(notifications_, closed_); });
}

}  // namespace testsupport
