#pragma once
// A stand-in for the desktop's notification service on a private session bus, which records
// every call and can invoke actions as a person clicking would.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/lumora/PrivateSessionBus.h"

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GDBusMethodInvocation GDBusMethodInvocation;
typedef struct _GVariant GVariant;

namespace testsupport {

class FakeNotificationService {
public:
    struct Notification {
        std::uint32_t replacesID = 0;
        std::uint32_t id = 0;  // what Notify answered
        std::string appName, icon, summary, body;
        std::vector<std::string> actions;
        std::optional<bool> resident, transient;
        std::optional<std::string> desktopEntry;
        std::int32_t expireTimeout = -1;
    };

    // Owns org.freedesktop.Notifications on the bus at `address`; `capabilities` is what
    // GetCapabilities answers.
    explicit FakeNotificationService(const std::string& address,
                                     std::vector<std::string> capabilities = {"actions", "body"});
    ~FakeNotificationService();

    std::vector<Notification> notifications();
    std::vector<std::uint32_t> closed();
    // Emits ActionInvoked(id, key), as the desktop does when the user clicks the action.
    void invokeAction(std::uint32_t id, const std::string& key);
    // Waits until `condition` holds for the recorded calls.
    bool waitFor(
        const std::function<bool(const std::vector<Notification>&, const std::vector<std::uint32_t>&)>& condition,
        std::chrono::milliseconds timeout);

private:
    static void onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation, void* self);
    void methodCall(const std::string& method, GVariant* parameters, GDBusMethodInvocation* invocation);

    std::vector<std::string> capabilities_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    unsigned registration_ = 0;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notification> notifications_;
    std::vector<std::uint32_t> closed_;
    std::uint32_t nextID_ = 1;
};

}  // namespace testsupport
