#pragma once
// The listening side of the automation protocol, which the app embeds: publishes the socket,
// accepts same-user peers, frames and decodes requests, hands each to the handler and writes
// exactly one response line back.

#include <cstdint>
#include <memory>
#include <string>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Server/AutomationRequestHandling.h"
#include "RecorderAutomation/Support/Failure.h"

namespace recorder {

class AutomationSocketServer {
public:
    struct Statistics {
        // Open connections, after every accept and drop; 0 after stop.
        std::int64_t activeConnections = 0;
        // Accepted sockets closed at once: unreadable or foreign peer identity, or 8 already open.
        std::int64_t rejectedPeers = 0;
        // Frames that did not decode as a request, and connections dropped for an oversized frame.
        std::int64_t malformedMessages = 0;
        // Handler replies that came back to the same, still open connection.
        std::int64_t handledRequests = 0;
        bool operator==(const Statistics&) const = default;
    };

    // The shared system-call case, named "system" in this component's text.
    using System = BasicSystemCall<"system">;
    struct AlreadyListening : NamedCase<"alreadyListening"> {};
    struct AnotherServerIsListening : NamedCase<"anotherServerIsListening"> {};
    struct StaleSocketNotOwned : NamedCase<"staleSocketNotOwned"> {};
    struct Failure : BasicFailure<struct AutomationSocketServerTag, System, AlreadyListening, AnotherServerIsListening,
                                  StaleSocketNotOwned> {
        using BasicFailure::BasicFailure;
        static Failure system(std::string call, int number) { return System{std::move(call), number}; }
        static Failure alreadyListening() { return AlreadyListening{}; }
        static Failure anotherServerIsListening() { return AnotherServerIsListening{}; }
        static Failure staleSocketNotOwned() { return StaleSocketNotOwned{}; }
    };

    // Time allowed for writing one reply, in seconds.
    static constexpr double replyTimeout = 5;

    // Opens no socket; starts the server's own event thread, idle until start(). Throws
    // std::system_error when its hand-off timer ("timerfd_create"), its event loop
    // ("epoll_create1", "eventfd", "epoll_ctl") or thread cannot be made.
    AutomationSocketServer(AutomationEndpoint endpoint, std::string appInstanceID,
                           std::shared_ptr<AutomationRequestHandling> handler);
    // Stops serving as stop() does; replies of handler calls still in flight are discarded.
    ~AutomationSocketServer();

    AutomationSocketServer(const AutomationSocketServer&) = delete;
    AutomationSocketServer& operator=(const AutomationSocketServer&) = delete;

    // Publishes the socket. Throws Failure (alreadyListening, anotherServerIsListening,
    // staleSocketNotOwned, system "chmod"/"listen"/"unlink"), UnixSocket::Failure ("socket",
    // "bind", "fcntl", pathTooLong), AutomationEndpoint::Failure, or std::system_error (among
    // them "epoll_ctl" when the loop cannot watch the socket). A failed
    // start leaves no socket file behind.
    void start();
    // Closes every connection and the listening socket and removes the socket file. Returns
    // once no reply write is running; handler calls in flight finish on their own and their
    // replies are discarded. start() may be called again afterwards.
    void stop();

    bool isListening() const;
    Statistics statistics() const;
    const AutomationEndpoint& endpoint() const noexcept { return endpoint_; }

private:
    class Core;

    AutomationEndpoint endpoint_;
    std::shared_ptr<Core> core_;
};

}  // namespace recorder
