#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <list>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"
#include "RecorderAutomation/Protocol/JSONObjectReader.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "RecorderAutomation/Server/EventLoop.h"

namespace recorder {

namespace {

constexpr std::size_t readBufferBytes = 4096;
constexpr int listenBacklog = 8;
constexpr double staleSocketProbeTimeout = 0.5;
// Replies queued for a peer that does not read them; beyond this the peer is dropped.
constexpr std::size_t maximumQueuedReplyBytes = std::size_t{1} << 20;
// After an accept error other than "nothing pending" (out of descriptors, say) the listening
// socket stays readable; waiting a moment keeps the loop from spinning on it.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);
// The loop's label, "recorder.automation.server", cut to the 15 characters a thread name holds.
constexpr char loopThreadName[] = "rec.auto.server";
// How long a handler call may hold the loop thread before the standby thread takes the loop
// over: short enough that no other connection notices, long enough that a fast handler (nearly
// every request) never causes a thread change.
constexpr auto handOffDelay = std::chrono::milliseconds(1);

// Which server's loop the calling thread is running just now, if any; cleared while it runs a
// handler, which may call start() or stop() and must then wait for the loop like any caller.
thread_local const void* leadingLoop = nullptr;
// Set by a handler call whose thread lost the loop meanwhile: that thread leaves the loop.
thread_local bool handedOver = false;

constexpr std::string_view undecodableMessage = "The request could not be decoded: ";
constexpr std::string_view undecodableHint = "Check the command name, parameter names, and protocol version.";
constexpr std::string_view busyMessage = "Wait for the previous reply before sending another request.";

// What is left of a frame that failed to decode as a whole: its request identifier.
struct RequestIDOnly {
    std::string requestID;

    static RequestIDOnly fromJSON(const nlohmann::json& value, const CodingPath& path = {}) {
        return {JSONObjectReader(value, path).required<std::string>("requestId")};
    }
};

std::string recoveredRequestID(std::string_view frame) {
    const auto value = nlohmann::json::parse(frame, nullptr, /*allow_exceptions=*/false);
    try {
        return RequestIDOnly::fromJSON(value).requestID;
    } catch (const DecodingError&) {
        return {};
    }
}

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// The hand-off timer, the first descriptor the server opens. Blocking: the standby does
// nothing but wait for it.
struct HandOffTimer {
    HandOffTimer() : fd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC)) {
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
    }
    ~HandOffTimer() { ::close(fd); }
    HandOffTimer(const HandOffTimer&) = delete;
    HandOffTimer& operator=(const HandOffTimer&) = delete;

    const int fd;
};

}  // namespace

// The server's state and its event loop: one EventLoop, run by one thread at a time (the
// leader). Everything that touches the state (accepting, each connection's reads and writes,
// handler calls and their replies, start and stop) runs as steps of that loop, one
// at a time, so the state needs no lock; only the copies read from outside (statistics,
// listening) and the hand-off between threads are guarded.
//
// A handler call runs on the leader itself, so a fast one costs no thread change. A standby
// thread waits on a timer armed as the call begins; if the call still runs when it expires,
// the standby becomes the leader and runs the loop on, and the old leader, once its handler
// returns, posts the reply to the loop and leaves it (staying as the standby if none is left).
class AutomationSocketServer::Core : public std::enable_shared_from_this<Core> {
public:
    Core(AutomationEndpoint endpoint, std::string appInstanceID, std::shared_ptr<AutomationRequestHandling> handler)
        : endpoint_(std::move(endpoint)), appInstanceID_(std::move(appInstanceID)), handler_(std::move(handler)) {}

    // Starts the first leader. Its threads hold the core, which lives until the last has left.
    void launch() {
        {
            std::lock_guard lock(roles_->mutex);
            ++roles_->loopThreads;
        }
        try {
            std::thread(serve, shared_from_this(), true).detach();
        } catch (...) {
            std::lock_guard lock(roles_->mutex);
            --roles_->loopThreads;
            throw;
        }
    }

    // Runs `step` on the loop and waits for its result (or exception).
    template <class Step>
    auto onLoop(Step step) -> decltype(step()) {
        if (leadingLoop == this) return step();
        std::packaged_task<decltype(step())()> task(std::move(step));
        auto result = task.get_future();
        loop_.post([&task] { task(); });
        return result.get();
    }

    // Ends the loop: once it returns, no step runs again. Threads still in a handler call
    // leave as soon as it returns.
    void shutDownLoop() {
        std::unique_lock lock(roles_->mutex);
        if (stopping_) return;
        stopping_ = true;
        loop_.stop();
        arm(std::chrono::nanoseconds(1));  // wakes the standby, which then ends
        roles_->left.wait(lock, [&] { return roles_->loopThreads == 0; });
    }

    void start();
    void stop();

    bool isListening() const {
        std::lock_guard lock(published_);
        return listening_;
    }

    Statistics statistics() const {
        std::lock_guard lock(published_);
        return statistics_;
    }

private:
    struct Connection : std::enable_shared_from_this<Connection> {
        explicit Connection(int fd) : descriptor(fd) {}
        ~Connection() {
            if (open) ::close(descriptor);
        }
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;

        const int descriptor;
        LineFrameDecoder decoder{AutomationProtocol::maximumMessageBytes};
        // A request of this connection is with the handler.
        bool busy = false;
        // Bytes read with MSG_PEEK and decoded, but still in the socket: those of a request
        // whose reply is not written yet (see read()).
        std::size_t unconsumed = 0;
        // Whether the loop watches the socket: only once the connection must wait for its peer
        // (see acceptOne()).
        bool watched = false;
        // False once dropped (and its socket closed): handler replies that still hold it find it gone.
        bool open = true;
        // While `writing`, the reply being written (from `written` on) and the ones behind it,
        // in order; the socket is then watched for room as well.
        bool writing = false;
        std::string outgoing;
        std::size_t written = 0;
        EventLoop::Timer writeDeadline{};
        // A list, not a deque: an empty deque allocates, and nearly every connection queues nothing.
        std::list<std::string> replies;
        std::size_t queuedBytes = 0;
    };
    using ConnectionPointer = std::shared_ptr<Connection>;

    // A loop thread's life: leader (or standby until it takes over), standby again after a
    // hand-off when no other standby is left, until the loop ends.
    static void serve(std::shared_ptr<Core> core, bool leading);
    // Runs loop steps until this thread hands the loop over or the loop ends.
    void lead();
    // Waits for the timer; true once this thread has taken the loop over, false when it ends.
    bool standBy();
    // Marks the leader as in a handler call, once a standby waits (starting one if needed) to
    // take the loop over; false when no standby could be started.
    bool beginCall();
    void arm(std::chrono::nanoseconds delay);

    template <class Change>
    void updateStatistics(Change change) {
        std::lock_guard lock(published_);
        change(statistics_);
    }
    void countConnections() {
        updateStatistics([&](Statistics& s) { s.activeConnections = static_cast<std::int64_t>(connections_.size()); });
    }

    void reclaimStaleSocket(const std::string& path);
    void acceptOne();
    void dropClosedConnections();
    void connectionReady(const ConnectionPointer& connection, std::uint32_t events);
    void read(const ConnectionPointer& connection);
    // Has the loop watch the socket for `events`; false when that dropped the connection.
    bool watch(const ConnectionPointer& connection, std::uint32_t events);
    // Takes the bytes decoded earlier out of the socket; false when that dropped the connection.
    bool consume(const ConnectionPointer& connection);
    void dispatch(const ConnectionPointer& connection, const std::string& frame);
    void call(const std::weak_ptr<Connection>& weakConnection, const AutomationRequest& request);
    void handlerReturned(const ConnectionPointer& connection, std::optional<AutomationReply> reply,
                         const std::string& requestID);
    void send(const ConnectionPointer& connection, AutomationReply reply, std::string_view requestID);
    // Writes what the socket takes of the queued replies; the next reply, once one is done.
    void flush(const ConnectionPointer& connection);
    void startWriting(const ConnectionPointer& connection, std::string frame);
    void drop(const ConnectionPointer& connection);

    // The first descriptor the server opens, before the loop's own.
    const HandOffTimer timer_;
    EventLoop loop_;

    const AutomationEndpoint endpoint_;
    const std::string appInstanceID_;
    const std::shared_ptr<AutomationRequestHandling> handler_;
    // This process's user, whose peers alone are served.
    const uid_t user_ = ::getuid();

    // Guards only the two values read from outside the loop.
    mutable std::mutex published_;
    bool listening_ = false;
    Statistics statistics_;

    // The hand-off between leader and standby. The lock and the count of loop threads outlive
    // the core: a thread lets go of the core before it counts itself out.
    struct Roles {
        std::mutex mutex;
        std::condition_variable left;
        // Threads that are the leader or the standby (not those left in a handler call).
        int loopThreads = 0;
    };
    const std::shared_ptr<Roles> roles_ = std::make_shared<Roles>();
    bool armed_ = false;
    bool stopping_ = false;
    bool standbyPresent_ = false;
    // The leader is in a handler call that began at `callStarted_`; cleared by whichever of
    // the two, the call's end or the standby's take-over, comes first.
    bool leaderInCall_ = false;
    std::chrono::steady_clock::time_point callStarted_;

    // The loop's own state.
    int listener_ = -1;
    // Set while accepting pauses after an error.
    EventLoop::Timer acceptPause_{};
    // At most a handful: a vector, searched in place, costs no allocation per connection.
    std::vector<ConnectionPointer> connections_;
};

void AutomationSocketServer::Core::serve(std::shared_ptr<Core> core, bool leading) {
    pthread_setname_np(pthread_self(), loopThreadName);
    const auto roles = core->roles_;
    bool running = leading || core->standBy();
    while (running) {
        core->lead();
        {
            std::lock_guard lock(roles->mutex);
            if (!handedOver) break;  // the loop ended
            handedOver = false;
            // Out of its handler call: the next standby, unless one waits already.
            if (core->stopping_ || core->standbyPresent_) return;
            core->standbyPresent_ = true;
            ++roles->loopThreads;
        }
        running = core->standBy();
    }
    // The core may end here, on this thread, if the server let go of it already.
    core.reset();
    std::lock_guard lock(roles->mutex);
    --roles->loopThreads;
    roles->left.notify_all();
}

void AutomationSocketServer::Core::lead() {
    leadingLoop = this;
    // Taking the loop over from a held call: that call's connection (and any other that was not
    // waiting for its peer yet) must be read on from here, refusing what its peer sends meanwhile.
    for (const auto& connection : std::vector<ConnectionPointer>(connections_))
        if (connection->open && !connection->watched) watch(connection, EPOLLIN);
    while (!handedOver) {
        try {
            if (!loop_.runOne()) break;  // the loop is stopped
        } catch (...) {
            // A step that throws unexpectedly must not end the loop.
        }
    }
    leadingLoop = nullptr;
}

bool AutomationSocketServer::Core::standBy() {
    while (true) {
        std::uint64_t expirations;
        [[maybe_unused]] const auto cleared = ::read(timer_.fd, &expirations, sizeof expirations);
        std::lock_guard lock(roles_->mutex);
        armed_ = false;
        if (stopping_) {
            // A leader still in a handler call leaves the loop when the call returns; the
            // shutdown does not wait for it.
            if (leaderInCall_) {
                leaderInCall_ = false;
                --roles_->loopThreads;
            }
            standbyPresent_ = false;
            return false;
        }
        if (!leaderInCall_) continue;  // the call ended in time
        const auto held = std::chrono::steady_clock::now() - callStarted_;
        if (held < handOffDelay) {  // a later call than the one that armed the timer
            arm(handOffDelay - held);
            continue;
        }
        // The old leader, still in its call, no longer counts as a loop thread.
        leaderInCall_ = false;
        standbyPresent_ = false;
        --roles_->loopThreads;
        return true;
    }
}

bool AutomationSocketServer::Core::beginCall() {
    std::unique_lock lock(roles_->mutex);
    if (!standbyPresent_) {
        standbyPresent_ = true;
        ++roles_->loopThreads;
        lock.unlock();
        try {
            std::thread(serve, shared_from_this(), false).detach();
        } catch (const std::system_error&) {
            lock.lock();
            standbyPresent_ = false;
            --roles_->loopThreads;
            return false;
        }
        lock.lock();
    }
    leaderInCall_ = true;
    callStarted_ = std::chrono::steady_clock::now();
    // Left armed after a call that ended in time: the standby wakes once and finds nothing
    // to do, which is cheaper than disarming after every call.
    if (!armed_) arm(handOffDelay);
    return true;
}

void AutomationSocketServer::Core::arm(std::chrono::nanoseconds delay) {
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(delay.count() / 1'000'000'000);
    setting.it_value.tv_nsec = static_cast<long>(delay.count() % 1'000'000'000);
    ::timerfd_settime(timer_.fd, 0, &setting, nullptr);  // cannot fail on our own valid descriptor
    armed_ = true;
}

void AutomationSocketServer::Core::start() {
    if (listener_ >= 0) throw Failure::alreadyListening();
    // Runs on the loop, which is blocked meanwhile (the probe of an old socket waits up to
    // half a second); nothing else can start or stop in between.
    endpoint_.prepareDirectory();
    const std::string path = endpoint_.path();
    reclaimStaleSocket(path);

    // Close-on-exec: a process the app starts (a capture tool) must not keep the socket alive.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw UnixSocket::Failure::systemCall("socket", errno);
    bool bound = false;
    try {
        const sockaddr_un address = UnixSocket::address(path);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
            const int error = errno;
            throw UnixSocket::Failure::systemCall("bind", error);
        }
        bound = true;
        if (::chmod(path.c_str(), 0600) < 0) {
            const int error = errno;
            throw Failure::system("chmod", error);
        }
        if (::listen(fd, listenBacklog) < 0) {
            const int error = errno;
            throw Failure::system("listen", error);
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            const int error = errno;
            throw UnixSocket::Failure::systemCall("fcntl", error);
        }
        loop_.watch(fd, EPOLLIN, [this](std::uint32_t) { acceptOne(); });
        listener_ = fd;
    } catch (...) {
        ::close(fd);
        // Only a file this call created is removed: a bind that failed left someone else's.
        if (bound) ::unlink(path.c_str());
        throw;
    }
    {
        std::lock_guard lock(published_);
        listening_ = true;
    }
}

void AutomationSocketServer::Core::reclaimStaleSocket(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 && errno == ENOENT) return;

    bool answered = false;
    try {
        ::close(UnixSocket::connect(path, staleSocketProbeTimeout));
        answered = true;
    } catch (const UnixSocket::Failure&) {
        // Nobody answers: the file is left over.
    }
    if (answered) throw Failure::anotherServerIsListening();

    if (::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        throw std::system_error(error, std::generic_category(), "cannot inspect " + path);
    }
    if (info.st_uid != ::getuid()) throw Failure::staleSocketNotOwned();
    if (::unlink(path.c_str()) != 0) {
        const int error = errno;
        throw Failure::system("unlink", error);
    }
}

void AutomationSocketServer::Core::stop() {
    // Closing a socket ends its reads and writes; no reply write outlives this step.
    for (auto& connection : connections_) {
        connection->open = false;
        if (connection->watched) loop_.forget(connection->descriptor);
        ::close(connection->descriptor);
        loop_.cancel(connection->writeDeadline);
    }
    connections_.clear();
    countConnections();
    if (listener_ < 0) return;
    loop_.cancel(acceptPause_);
    loop_.forget(listener_);
    ::close(listener_);
    listener_ = -1;
    {
        std::lock_guard lock(published_);
        listening_ = false;
    }
    ::unlink(endpoint_.path().c_str());
}

void AutomationSocketServer::Core::acceptOne() {
    // One connection per readiness: the listener is watched level-triggered, so the next wait
    // reports it again while more are pending, and no accept is spent on finding none.
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (wouldBlock(error) || error == ECONNABORTED) return;
        // The listener stays readable: watching it again at once would spin.
        loop_.change(listener_, 0);
        acceptPause_ = loop_.after(acceptRetryDelay, [this] {
            acceptPause_ = {};
            loop_.change(listener_, EPOLLIN);
        });
        return;
    }

    ucred peer{};
    socklen_t length = sizeof peer;
    const bool sameUser = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == user_;
    const auto limit = static_cast<std::size_t>(AutomationProtocol::maximumConnections);
    if (sameUser && connections_.size() >= limit) dropClosedConnections();
    if (!sameUser || connections_.size() >= limit) {
        updateStatistics([](Statistics& s) { ++s.rejectedPeers; });
        ::close(fd);
        return;
    }

    const auto connection = std::make_shared<Connection>(fd);
    connections_.push_back(connection);
    countConnections();
    // Read at once: a client sends its request as soon as it is connected, so it is usually
    // there already. The socket is watched only once the connection must wait for its peer; a
    // connection answered and closed before that never costs the loop a registration.
    read(connection);
}

bool AutomationSocketServer::Core::watch(const ConnectionPointer& connection, std::uint32_t events) {
    if (connection->watched) {
        loop_.change(connection->descriptor, events);
        return true;
    }
    try {
        // A plain pointer keeps the watcher small enough to need no allocation of its own; it
        // is called only while the connection is watched, and so still in `connections_`.
        loop_.watch(connection->descriptor, events, [this, watched = connection.get()](std::uint32_t ready) {
            connectionReady(watched->shared_from_this(), ready);
        });
    } catch (const std::system_error&) {
        // The loop could not take the socket on (out of memory): nothing would ever read it.
        drop(connection);
        return false;
    }
    connection->watched = true;
    return true;
}

void AutomationSocketServer::Core::dropClosedConnections() {
    // A client that closed one connection and at once opens the next must not find its old
    // connection still holding a place: its end of stream may simply not have been read yet.
    std::vector<ConnectionPointer> closed;
    for (const auto& connection : connections_) {
        // Bytes left in the socket would hide an end of stream behind them.
        if (connection->unconsumed > 0 && !consume(connection)) continue;
        char byte;
        const ssize_t count = ::recv(connection->descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (count == 0 || (count < 0 && !wouldBlock(errno))) closed.push_back(connection);
    }
    for (const auto& connection : closed) drop(connection);
}

void AutomationSocketServer::Core::connectionReady(const ConnectionPointer& connection, std::uint32_t events) {
    if (connection->writing && (events & (EPOLLOUT | EPOLLERR))) {
        flush(connection);
        if (!connection->open) return;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read(connection);
}

void AutomationSocketServer::Core::read(const ConnectionPointer& connection) {
    if (connection->unconsumed > 0 && !consume(connection)) return;
    // One read per readiness, so that one busy peer cannot hold the loop while others wait; a
    // request's handler call, queued by dispatch, runs before the loop waits again.
    // The bytes are peeked, and taken out of the socket only once a request among them is
    // answered: taking them out wakes the client, blocked reading its reply, for nothing (its
    // socket has room again), and the client, woken, would take the CPU from the loop only to
    // block again.
    std::array<char, readBufferBytes> buffer;
    const ssize_t count = ::recv(connection->descriptor, buffer.data(), buffer.size(), MSG_PEEK);
    if (count < 0 && wouldBlock(errno)) {
        if (!connection->watched) watch(connection, EPOLLIN);
        return;
    }
    if (count <= 0) {  // end of stream or a read error
        drop(connection);
        return;
    }
    std::vector<std::string> frames;
    try {
        frames = connection->decoder.append(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    } catch (const LineFrameDecoder::Failure&) {
        updateStatistics([](Statistics& s) { ++s.malformedMessages; });
        drop(connection);
        return;
    }
    const bool wasBusy = connection->busy;
    connection->unconsumed = static_cast<std::size_t>(count);
    for (const auto& frame : frames) {
        dispatch(connection, frame);
        if (!connection->open) return;  // a failed send dropped it
    }
    // Left in the socket only while a request among them waits for its call: the reply is
    // written first, and the next read takes them. Otherwise the connection waits for its peer.
    if (!wasBusy && connection->busy) return;
    if (consume(connection) && !connection->watched) watch(connection, EPOLLIN);
}

bool AutomationSocketServer::Core::consume(const ConnectionPointer& connection) {
    std::array<char, readBufferBytes> discarded;
    while (connection->unconsumed > 0) {
        const ssize_t count = ::recv(connection->descriptor, discarded.data(), connection->unconsumed, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {  // not short of a broken socket: the bytes were there when peeked
            drop(connection);
            return false;
        }
        connection->unconsumed -= static_cast<std::size_t>(count);
    }
    return true;
}

void AutomationSocketServer::Core::dispatch(const ConnectionPointer& connection, const std::string& frame) {
    std::optional<AutomationRequest> request;
    try {
        request = AutomationRequest::decode(frame);
    } catch (const DecodingError& error) {
        updateStatistics([](Statistics& s) { ++s.malformedMessages; });
        const AutomationFailure failure(AutomationErrorCode::invalidRequest,
                                        std::string(undecodableMessage) + error.localizedDescription(),
                                        std::string(undecodableHint));
        send(connection, AutomationReply::failure(failure), recoveredRequestID(frame));
        return;
    }
    if (connection->busy) {
        send(connection, AutomationReply::failure({AutomationErrorCode::invalidRequest, std::string(busyMessage)}),
             request->requestID);
        return;
    }
    connection->busy = true;
    // A step of its own, so that the loop reads on (and refuses what the peer sends
    // meanwhile) should the call outlast the hand-off.
    loop_.defer([this, weakConnection = std::weak_ptr<Connection>(connection), request = std::move(*request)] {
        call(weakConnection, request);
    });
}

void AutomationSocketServer::Core::call(const std::weak_ptr<Connection>& weakConnection,
                                        const AutomationRequest& request) {
    {
        const auto connection = weakConnection.lock();
        if (!connection || !connection->open) return;  // dropped meanwhile
        if (!beginCall()) {
            // No thread could be started to take the loop over: like a handler that failed, no reply.
            drop(connection);
            return;
        }
    }
    // The connection is held only weakly meanwhile: should this thread lose the loop, it must
    // not release the loop's objects afterwards.
    leadingLoop = nullptr;
    std::optional<AutomationReply> reply;
    try {
        reply = handler_->handle(request);
    } catch (const AutomationFailure& failure) {
        reply = AutomationReply::failure(failure);
    } catch (...) {
        // Leaves no reply: the connection is dropped.
    }
    bool lost;
    {
        std::lock_guard lock(roles_->mutex);
        lost = !leaderInCall_;
        leaderInCall_ = false;
    }
    if (!lost) {
        leadingLoop = this;
        if (const auto connection = weakConnection.lock())
            handlerReturned(connection, std::move(reply), request.requestID);
        return;
    }
    // Another thread runs the loop now: the reply goes to it, and this thread leaves the loop.
    handedOver = true;
    loop_.post(
        [weak = weak_from_this(), weakConnection, reply = std::move(reply), requestID = request.requestID]() mutable {
            const auto core = weak.lock();
            const auto connection = weakConnection.lock();
            if (core && connection) core->handlerReturned(connection, std::move(reply), requestID);
        });
}

void AutomationSocketServer::Core::handlerReturned(const ConnectionPointer& connection,
                                                   std::optional<AutomationReply> reply, const std::string& requestID) {
    if (!connection->open) return;  // dropped meanwhile: the reply is discarded
    connection->busy = false;
    if (!reply) {
        drop(connection);
        return;
    }
    updateStatistics([](Statistics& s) { ++s.handledRequests; });
    send(connection, std::move(*reply), requestID);
    // The reply woke the peer, which usually runs at once, reads it and closes or asks again:
    // reading now finds that without another wait.
    if (connection->open && !connection->writing) read(connection);
}

void AutomationSocketServer::Core::send(const ConnectionPointer& connection, AutomationReply reply,
                                        std::string_view requestID) {
    std::string frame;
    try {
        frame = AutomationResponseEncoder::encode(std::move(reply), requestID, appInstanceID_);
    } catch (...) {
        drop(connection);
        return;
    }
    if (connection->writing) {
        if (connection->queuedBytes + frame.size() > maximumQueuedReplyBytes) {
            drop(connection);
            return;
        }
        connection->queuedBytes += frame.size();
        connection->replies.push_back(std::move(frame));
        return;
    }
    // Nothing queued before it: offer it to the socket without waiting. A reply that fits
    // into the socket buffer (nearly all) is done here; the rest waits for room.
    const ssize_t written = ::send(connection->descriptor, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written == static_cast<ssize_t>(frame.size())) return;
    if (written < 0 && !wouldBlock(errno)) {
        drop(connection);
        return;
    }
    if (written > 0) frame.erase(0, static_cast<std::size_t>(written));
    if (frame.size() > maximumQueuedReplyBytes) {
        drop(connection);
        return;
    }
    connection->writing = true;
    if (!watch(connection, EPOLLIN | EPOLLOUT)) return;
    startWriting(connection, std::move(frame));
}

void AutomationSocketServer::Core::startWriting(const ConnectionPointer& connection, std::string frame) {
    connection->outgoing = std::move(frame);
    connection->written = 0;
    // Each reply has its own time-out: a peer that does not read is dropped after it,
    // delaying nobody else meanwhile.
    loop_.cancel(connection->writeDeadline);
    connection->writeDeadline =
        loop_.after(seconds(replyTimeout), [this, weakConnection = std::weak_ptr<Connection>(connection)] {
            if (const auto connection = weakConnection.lock()) {
                connection->writeDeadline = {};
                drop(connection);
            }
        });
}

void AutomationSocketServer::Core::flush(const ConnectionPointer& connection) {
    while (true) {
        const std::string& frame = connection->outgoing;
        const ssize_t written = ::send(connection->descriptor, frame.data() + connection->written,
                                       frame.size() - connection->written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (!wouldBlock(errno)) drop(connection);
            return;
        }
        connection->written += static_cast<std::size_t>(written);
        if (connection->written < frame.size()) return;  // wait for room
        if (connection->replies.empty()) break;
        std::string next = std::move(connection->replies.front());
        connection->replies.pop_front();
        connection->queuedBytes -= next.size();
        startWriting(connection, std::move(next));
    }
    loop_.cancel(connection->writeDeadline);
    connection->outgoing.clear();
    connection->writing = false;
    loop_.change(connection->descriptor, EPOLLIN);
}

void AutomationSocketServer::Core::drop(const ConnectionPointer& connection) {
    if (!connection->open) return;
    connection->open = false;
    if (connection->watched) loop_.forget(connection->descriptor);
    ::close(connection->descriptor);
    loop_.cancel(connection->writeDeadline);
    connection->replies.clear();
    connection->queuedBytes = 0;
    const auto entry = std::find(connections_.begin(), connections_.end(), connection);
    if (entry != connections_.end()) connections_.erase(entry);
    countConnections();
}

AutomationSocketServer::AutomationSocketServer(AutomationEndpoint endpoint, std::string appInstanceID,
                                               std::shared_ptr<AutomationRequestHandling> handler)
    : endpoint_(endpoint),
      core_(std::make_shared<Core>(std::move(endpoint), std::move(appInstanceID), std::move(handler))) {
    core_->launch();
}

AutomationSocketServer::~AutomationSocketServer() {
    try {
        stop();
    } catch (...) {
    }
    // After this no step runs again; threads still in a handler call find nothing to serve.
    core_->shutDownLoop();
}

void AutomationSocketServer::start() {
    core_->onLoop([this] { core_->start(); });
}

void AutomationSocketServer::stop() {
    core_->onLoop([this] { core_->stop(); });
}

bool AutomationSocketServer::isListening() const { return core_->isListening(); }

AutomationSocketServer::Statistics AutomationSocketServer::statistics() const { return core_->statistics(); }

}  // namespace recorder
