#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"
#include "RecorderAutomation/Protocol/JSONObjectReader.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "RecorderAutomation/Server/HandlerThreads.h"

namespace recorder {

namespace {

using namespace asio::experimental::awaitable_operators;
using ConnectionID = std::array<unsigned char, sizeof(uuid_t)>;
constexpr auto awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// A fresh random identifier, so that a connection is told apart from a later one that reuses
// its descriptor number.
ConnectionID makeConnectionID() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    ConnectionID id;
    std::memcpy(id.data(), uuid, id.size());
    return id;
}

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

}  // namespace

std::string AutomationSocketServer::System::description() const {
    return failure_text::caseForm("system", {failure_text::quoted(call), std::to_string(number)});
}

// The server's state and its event loop: one io_context run by one thread. Everything that
// touches the state (accepting, each connection's reader and writer coroutines, the return of a
// handler's reply, start and stop) runs on that thread, one step at a time, so the state needs
// no lock; only the copies read from outside (statistics, listening) are guarded. Handlers run
// on HandlerThreads and post their reply back to the loop.
class AutomationSocketServer::Core : public std::enable_shared_from_this<Core> {
public:
    Core(AutomationEndpoint endpoint, std::string appInstanceID, std::shared_ptr<AutomationRequestHandling> handler)
        : endpoint_(std::move(endpoint)), appInstanceID_(std::move(appInstanceID)), handler_(std::move(handler)) {
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), loopThreadName);
            // A step that throws unexpectedly must not end the loop; run() returns normally
            // only once the loop is shut down.
            while (true) {
                try {
                    io_.run();
                    return;
                } catch (...) {
                }
            }
        });
    }

    ~Core() {
        if (thread_.joinable()) shutDownLoop();
    }

    // Runs `step` on the loop and waits for its result (or exception).
    template <class Step>
    auto onLoop(Step step) -> decltype(step()) {
        if (io_.get_executor().running_in_this_thread()) return step();
        std::packaged_task<decltype(step())()> task(std::move(step));
        auto result = task.get_future();
        asio::post(io_, [&task] { task(); });
        return result.get();
    }

    void shutDownLoop() {
        work_.reset();
        io_.stop();
        if (thread_.joinable()) thread_.join();
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
    struct Connection {
        Connection(asio::io_context& io, int fd)
            : id(makeConnectionID()),
              descriptor(fd),
              socket(io, asio::local::stream_protocol(), fd),
              writeDeadline(io) {}

        ConnectionID id;
        int descriptor;
        asio::local::stream_protocol::socket socket;
        asio::steady_timer writeDeadline;
        LineFrameDecoder decoder{AutomationProtocol::maximumMessageBytes};
        // A request of this connection is with the handler.
        bool busy = false;
        // False once dropped: coroutines and handler replies that still hold it find it gone.
        bool open = true;
        // Replies not yet written, in order; the writer coroutine runs while `writing`.
        std::deque<std::string> replies;
        std::size_t queuedBytes = 0;
        bool writing = false;
    };
    using ConnectionPointer = std::shared_ptr<Connection>;

    template <class Change>
    void updateStatistics(Change change) {
        std::lock_guard lock(published_);
        change(statistics_);
    }
    void countConnections() {
        updateStatistics([&](Statistics& s) { s.activeConnections = static_cast<std::int64_t>(connections_.size()); });
    }

    void reclaimStaleSocket(const std::string& path);
    asio::awaitable<void> acceptLoop(std::shared_ptr<asio::posix::stream_descriptor> listener);
    // Accepts what is pending; false after an error that needs a pause.
    bool acceptPending(int listener);
    void dropClosedConnections();
    asio::awaitable<void> readLoop(ConnectionPointer connection);
    void dispatch(const ConnectionPointer& connection, const std::string& frame);
    void handlerReturned(const ConnectionPointer& connection, std::optional<AutomationReply> reply,
                         const std::string& requestID);
    void send(const ConnectionPointer& connection, const AutomationReply& reply, std::string_view requestID);
    asio::awaitable<void> writeLoop(ConnectionPointer connection);
    void drop(const ConnectionPointer& connection);

    // Declared first so that it is destroyed last: sockets and timers belong to it.
    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);

    const AutomationEndpoint endpoint_;
    const std::string appInstanceID_;
    const std::shared_ptr<AutomationRequestHandling> handler_;

    // Guards only the two values read from outside the loop.
    mutable std::mutex published_;
    bool listening_ = false;
    Statistics statistics_;

    // The loop's own state.
    std::shared_ptr<asio::posix::stream_descriptor> listener_;
    std::map<int, ConnectionPointer> connections_;

    std::thread thread_;
};

void AutomationSocketServer::Core::start() {
    if (listener_) throw Failure::alreadyListening();
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
        listener_ = std::make_shared<asio::posix::stream_descriptor>(io_, fd);
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
    asio::co_spawn(io_, acceptLoop(listener_), asio::detached);
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
    // Closing a socket ends its reader and writer (their operations complete as aborted); no
    // reply write outlives this step.
    for (auto& [descriptor, connection] : connections_) {
        connection->open = false;
        asio::error_code ignored;
        connection->socket.close(ignored);
        connection->writeDeadline.cancel();
    }
    connections_.clear();
    countConnections();
    if (!listener_) return;
    asio::error_code ignored;
    listener_->close(ignored);
    listener_.reset();
    {
        std::lock_guard lock(published_);
        listening_ = false;
    }
    ::unlink(endpoint_.path().c_str());
}

asio::awaitable<void> AutomationSocketServer::Core::acceptLoop(
    std::shared_ptr<asio::posix::stream_descriptor> listener) {
    asio::steady_timer pause(io_);
    // The loop belongs to this listener: after stop() (and perhaps a new start()) it ends.
    while (listener_ == listener) {
        auto [error] = co_await listener->async_wait(asio::posix::stream_descriptor::wait_read, awaitable);
        if (error || listener_ != listener) co_return;
        if (acceptPending(listener->native_handle())) continue;
        pause.expires_after(acceptRetryDelay);
        co_await pause.async_wait(awaitable);
    }
}

bool AutomationSocketServer::Core::acceptPending(int listener) {
    while (true) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;
            return error == EAGAIN || error == EWOULDBLOCK;
        }

        ucred peer{};
        socklen_t length = sizeof peer;
        const bool identified = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
        const auto limit = static_cast<std::size_t>(AutomationProtocol::maximumConnections);
        if (identified && peer.uid == ::getuid() && connections_.size() >= limit) dropClosedConnections();
        if (!identified || peer.uid != ::getuid() || connections_.size() >= limit) {
            updateStatistics([](Statistics& s) { ++s.rejectedPeers; });
            ::close(fd);
            continue;
        }

        ConnectionPointer connection;
        try {
            connection = std::make_shared<Connection>(io_, fd);
        } catch (const std::system_error&) {
            // The loop could not take the socket on (out of memory for its registration).
            ::close(fd);
            continue;
        }
        connections_.insert_or_assign(fd, connection);
        countConnections();
        asio::co_spawn(io_, readLoop(std::move(connection)), asio::detached);
    }
}

void AutomationSocketServer::Core::dropClosedConnections() {
    // A client that closed one connection and at once opens the next must not find its old
    // connection still holding a place: its end of stream may simply not have been read yet.
    std::vector<ConnectionPointer> closed;
    for (const auto& [descriptor, connection] : connections_) {
        char byte;
        const ssize_t count = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            closed.push_back(connection);
    }
    for (const auto& connection : closed) drop(connection);
}

asio::awaitable<void> AutomationSocketServer::Core::readLoop(ConnectionPointer connection) {
    std::array<char, readBufferBytes> buffer;
    while (connection->open) {
        auto [error, count] = co_await connection->socket.async_read_some(asio::buffer(buffer), awaitable);
        if (!connection->open) co_return;
        if (error) {  // end of stream or a read error
            drop(connection);
            co_return;
        }
        std::vector<std::string> frames;
        try {
            frames = connection->decoder.append(std::string_view(buffer.data(), count));
        } catch (const LineFrameDecoder::Failure&) {
            updateStatistics([](Statistics& s) { ++s.malformedMessages; });
            drop(connection);
            co_return;
        }
        for (const auto& frame : frames) {
            dispatch(connection, frame);
            if (!connection->open) co_return;  // a failed send dropped it
        }
    }
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
    // The handler call holds the connection only weakly: it may outlive the loop, whose
    // objects must not be released on another thread afterwards.
    std::weak_ptr<Connection> weakConnection = connection;
    auto job = [weak = weak_from_this(), handler = handler_, request = std::move(*request), weakConnection] {
        std::optional<AutomationReply> reply;
        try {
            reply = handler->handle(request);
        } catch (const AutomationFailure& failure) {
            reply = AutomationReply::failure(failure);
        } catch (...) {
            // Leaves no reply: the connection is dropped.
        }
        // Straight back onto the loop; the posted step holds the server only weakly, so a
        // server released meanwhile serves nothing more.
        if (const auto core = weak.lock()) {
            asio::post(core->io_,
                       [weak, weakConnection, reply = std::move(reply), requestID = request.requestID]() mutable {
                           const auto again = weak.lock();
                           const auto connection = weakConnection.lock();
                           if (again && connection) again->handlerReturned(connection, std::move(reply), requestID);
                       });
        }
    };
    try {
        HandlerThreads::run(std::move(job));
    } catch (const std::system_error&) {
        // No thread could be started for the handler: like a handler that failed, no reply.
        drop(connection);
    }
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
    send(connection, *reply, requestID);
}

void AutomationSocketServer::Core::send(const ConnectionPointer& connection, const AutomationReply& reply,
                                        std::string_view requestID) {
    std::string frame;
    try {
        frame = AutomationResponseEncoder::encode(reply, requestID, appInstanceID_);
    } catch (...) {
        drop(connection);
        return;
    }
    if (!connection->writing) {
        // Nothing queued before it: offer it to the socket without waiting. A reply that fits
        // into the socket buffer (nearly all) is done here; the writer takes only the rest.
        const ssize_t written = ::send(connection->descriptor, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written == static_cast<ssize_t>(frame.size())) return;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            drop(connection);
            return;
        }
        if (written > 0) frame.erase(0, static_cast<std::size_t>(written));
    }
    if (connection->queuedBytes + frame.size() > maximumQueuedReplyBytes) {
        drop(connection);
        return;
    }
    connection->queuedBytes += frame.size();
    connection->replies.push_back(std::move(frame));
    if (connection->writing) return;  // the running writer takes it
    connection->writing = true;
    asio::co_spawn(io_, writeLoop(connection), asio::detached);
}

asio::awaitable<void> AutomationSocketServer::Core::writeLoop(ConnectionPointer connection) {
    while (connection->open && !connection->replies.empty()) {
        const std::string frame = std::move(connection->replies.front());
        connection->replies.pop_front();
        connection->queuedBytes -= frame.size();
        // Each reply has its own time-out: a peer that does not read is dropped after it,
        // delaying nobody else meanwhile.
        connection->writeDeadline.expires_after(seconds(replyTimeout));
        const auto outcome = co_await (asio::async_write(connection->socket, asio::buffer(frame), awaitable) ||
                                       connection->writeDeadline.async_wait(awaitable));
        if (!connection->open) co_return;
        if (outcome.index() == 1 || std::get<0>(std::get<0>(outcome))) {
            drop(connection);
            co_return;
        }
    }
    connection->writing = false;
}

void AutomationSocketServer::Core::drop(const ConnectionPointer& connection) {
    if (!connection->open) return;
    connection->open = false;
    asio::error_code ignored;
    connection->socket.close(ignored);
    connection->writeDeadline.cancel();
    connection->replies.clear();
    connection->queuedBytes = 0;
    const auto entry = connections_.find(connection->descriptor);
    if (entry != connections_.end() && entry->second == connection) connections_.erase(entry);
    countConnections();
}

AutomationSocketServer::AutomationSocketServer(AutomationEndpoint endpoint, std::string appInstanceID,
                                               std::shared_ptr<AutomationRequestHandling> handler)
    : endpoint_(endpoint),
      core_(std::make_shared<Core>(std::move(endpoint), std::move(appInstanceID), std::move(handler))) {}

AutomationSocketServer::~AutomationSocketServer() {
    try {
        stop();
    } catch (...) {
    }
    // After this no step runs again; handler calls still holding the core find nothing to serve.
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
