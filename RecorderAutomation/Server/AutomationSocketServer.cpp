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
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"
#include "RecorderAutomation/Protocol/JSONObjectReader.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "RecorderAutomation/Support/BackgroundQueue.h"

namespace recorder {

namespace {

using ConnectionID = std::array<unsigned char, sizeof(uuid_t)>;

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
// Reads per readiness event before the connection waits again, so that one busy peer cannot
// hold the queue while others wait.
constexpr int readsPerEvent = 16;
constexpr int listenBacklog = 8;
constexpr double staleSocketProbeTimeout = 0.5;
// Replies queued for a peer that does not read them; beyond this the peer is dropped.
constexpr std::size_t maximumQueuedReplyBytes = std::size_t{1} << 20;
// After an accept error other than "nothing pending" (out of descriptors, say) the listening
// socket stays readable; waiting a moment keeps the queue from spinning on it.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);
// The queue's label, "recorder.automation.server", cut to the 15 characters a thread name holds.
constexpr char queueThreadName[] = "rec.auto.server";

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

// The replies waiting to be written to one connection, in order. One writer at a time works
// through them, so that two replies never interleave on the socket.
struct ReplyQueue {
    std::mutex mutex;
    std::deque<std::string> frames;
    std::size_t bytes = 0;
    bool writing = false;
};

// The reply writers still running, so that stop() can return only after the last.
struct WriterCount {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;

    void begin() {
        std::lock_guard lock(mutex);
        ++running;
    }
    void end() {
        std::lock_guard lock(mutex);
        if (--running == 0) idle.notify_all();
    }
    void waitIdle(std::chrono::steady_clock::duration limit) {
        std::unique_lock lock(mutex);
        idle.wait_for(lock, limit, [&] { return running == 0; });
    }
};

}  // namespace

std::string AutomationSocketServer::System::description() const {
    return failure_text::caseForm("system", {failure_text::quoted(call), std::to_string(number)});
}

// The server's state and its serial queue: one io_context run by one thread, on which readiness
// events, start and stop run. Every step takes the state's mutex, which is never held across a
// blocking call, so steps run one at a time; a handler's reply is taken back on the pool thread
// that ran the handler, which saves a hop through the queue. Everything that runs later holds
// the core only weakly.
class AutomationSocketServer::Core : public std::enable_shared_from_this<Core> {
public:
    Core(AutomationEndpoint endpoint, std::string appInstanceID, std::shared_ptr<AutomationRequestHandling> handler)
        : endpoint_(std::move(endpoint)),
          appInstanceID_(std::move(appInstanceID)),
          handler_(std::move(handler)),
          acceptRetry_(io_) {
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), queueThreadName);
            // A step that throws unexpectedly must not end the queue; run() returns normally
            // only once the queue is shut down.
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
        if (thread_.joinable()) shutDownQueue();
    }

    // Runs `step` on the queue and waits for its result (or exception).
    template <class Step>
    auto onQueue(Step step) -> decltype(step()) {
        if (io_.get_executor().running_in_this_thread()) return step();
        std::packaged_task<decltype(step())()> task(std::move(step));
        auto result = task.get_future();
        asio::post(io_, [&task] { task(); });
        return result.get();
    }

    void shutDownQueue() {
        work_.reset();
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }

    void start();
    void stop();

    bool isListening() const {
        std::lock_guard lock(mutex_);
        return listener_ >= 0;
    }

    Statistics statistics() const {
        std::lock_guard lock(mutex_);
        return statistics_;
    }

    const std::shared_ptr<WriterCount>& writers() const noexcept { return writers_; }

private:
    struct Connection {
        ConnectionID id;
        int descriptor = -1;
        LineFrameDecoder decoder{AutomationProtocol::maximumMessageBytes};
        bool busy = false;
        // Owns the descriptor: closing it cancels the pending wait and closes the socket.
        std::unique_ptr<asio::posix::stream_descriptor> readSource;
        std::shared_ptr<ReplyQueue> replies = std::make_shared<ReplyQueue>();
    };

    // The steps below run with mutex_ held.
    template <class Change>
    void updateStatistics(Change change) {
        change(statistics_);
    }
    void countConnections() {
        updateStatistics([&](Statistics& s) { s.activeConnections = static_cast<std::int64_t>(connections_.size()); });
    }

    void reclaimStaleSocket(const std::string& path);
    void armAccept();
    void acceptStep();
    void dropClosedConnections();
    void armRead(Connection& connection);
    void readableStep(int descriptor, const ConnectionID& id);
    void dispatch(Connection& connection, const std::string& frame);
    void handlerReturned(int descriptor, const ConnectionID& id, std::optional<AutomationReply> reply,
                         const std::string& requestID);
    void send(Connection& connection, const AutomationReply& reply, std::string_view requestID);
    void startWriter(const std::shared_ptr<ReplyQueue>& replies, int duplicate, int descriptor, const ConnectionID& id);
    Connection* find(int descriptor, const ConnectionID& id);
    void drop(int descriptor);

    // Declared first so that it is destroyed last: descriptors and timers belong to it.
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);

    const AutomationEndpoint endpoint_;
    const std::string appInstanceID_;
    const std::shared_ptr<AutomationRequestHandling> handler_;
    const std::shared_ptr<WriterCount> writers_ = std::make_shared<WriterCount>();

    mutable std::mutex mutex_;
    int listener_ = -1;
    Statistics statistics_;

    std::unique_ptr<asio::posix::stream_descriptor> acceptSource_;
    asio::steady_timer acceptRetry_;
    std::map<int, Connection> connections_;

    std::thread thread_;
};

void AutomationSocketServer::Core::start() {
    {
        std::lock_guard lock(mutex_);
        if (listener_ >= 0) throw Failure::alreadyListening();
    }
    // Only the queue sets up or closes the listener, so the set-up below (which may wait for an
    // old socket to answer) runs without the lock.
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
        acceptSource_ = std::make_unique<asio::posix::stream_descriptor>(io_, fd);
    } catch (...) {
        ::close(fd);
        // Only a file this call created is removed: a bind that failed left someone else's.
        if (bound) ::unlink(path.c_str());
        throw;
    }
    std::lock_guard lock(mutex_);
    listener_ = fd;
    armAccept();
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
    std::lock_guard lock(mutex_);
    for (auto& [descriptor, connection] : connections_) {
        // Shutting the socket down also ends a reply write still running on a duplicate.
        ::shutdown(descriptor, SHUT_RDWR);
        asio::error_code ignored;
        connection.readSource->close(ignored);
    }
    connections_.clear();
    countConnections();
    if (listener_ < 0) return;
    acceptRetry_.cancel();
    asio::error_code ignored;
    acceptSource_->close(ignored);
    acceptSource_.reset();
    listener_ = -1;
    ::unlink(endpoint_.path().c_str());
}

void AutomationSocketServer::Core::armAccept() {
    acceptSource_->async_wait(asio::posix::stream_descriptor::wait_read,
                              [weak = weak_from_this()](const asio::error_code& error) {
                                  if (error) return;  // closed by stop()
                                  if (auto core = weak.lock()) {
                                      std::lock_guard lock(core->mutex_);
                                      core->acceptStep();
                                  }
                              });
}

void AutomationSocketServer::Core::acceptStep() {
    while (listener_ >= 0) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;
            if (error != EAGAIN && error != EWOULDBLOCK) {
                acceptRetry_.expires_after(acceptRetryDelay);
                acceptRetry_.async_wait([weak = weak_from_this()](const asio::error_code& cancelled) {
                    if (cancelled) return;
                    const auto core = weak.lock();
                    if (!core) return;
                    std::lock_guard lock(core->mutex_);
                    if (core->listener_ >= 0) core->armAccept();
                });
                return;
            }
            break;
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

        Connection connection;
        connection.id = makeConnectionID();
        connection.descriptor = fd;
        connection.readSource = std::make_unique<asio::posix::stream_descriptor>(io_, fd);
        const ConnectionID id = connection.id;
        connections_.insert_or_assign(fd, std::move(connection));
        countConnections();
        // A client writes its request right after connecting: read at once rather than wait
        // for the next readiness report (the step waits again itself when nothing is there).
        readableStep(fd, id);
    }
    // A wait that completed just before stop() still runs this step; then nothing is re-armed.
    if (listener_ >= 0) armAccept();
}

void AutomationSocketServer::Core::dropClosedConnections() {
    // A client that closed one connection and at once opens the next must not find its old
    // connection still holding a place: its end of stream may simply not have been read yet.
    std::vector<int> closed;
    for (const auto& [descriptor, connection] : connections_) {
        char byte;
        const ssize_t count = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            closed.push_back(descriptor);
    }
    for (const int descriptor : closed) drop(descriptor);
}

void AutomationSocketServer::Core::armRead(Connection& connection) {
    connection.readSource->async_wait(
        asio::posix::stream_descriptor::wait_read,
        [weak = weak_from_this(), descriptor = connection.descriptor, id = connection.id](const asio::error_code& error) {
            if (error) return;  // dropped
            if (auto core = weak.lock()) {
                std::lock_guard lock(core->mutex_);
                core->readableStep(descriptor, id);
            }
        });
}

AutomationSocketServer::Core::Connection* AutomationSocketServer::Core::find(int descriptor, const ConnectionID& id) {
    const auto entry = connections_.find(descriptor);
    if (entry == connections_.end() || entry->second.id != id) return nullptr;
    return &entry->second;
}

void AutomationSocketServer::Core::readableStep(int descriptor, const ConnectionID& id) {
    Connection* connection = find(descriptor, id);
    if (connection == nullptr) return;
    char buffer[readBufferBytes];
    for (int read = 0; read < readsPerEvent; ++read) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count > 0) {
            std::vector<std::string> frames;
            try {
                frames = connection->decoder.append(std::string_view(buffer, static_cast<std::size_t>(count)));
            } catch (const LineFrameDecoder::Failure&) {
                updateStatistics([](Statistics& s) { ++s.malformedMessages; });
                drop(descriptor);
                return;
            }
            for (const auto& frame : frames) {
                dispatch(*connection, frame);
                // A failed send drops the connection.
                connection = find(descriptor, id);
                if (connection == nullptr) return;
            }
            continue;
        }
        if (count == 0) {
            drop(descriptor);
            return;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) break;
        drop(descriptor);
        return;
    }
    armRead(*connection);
}

void AutomationSocketServer::Core::dispatch(Connection& connection, const std::string& frame) {
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
    if (connection.busy) {
        send(connection, AutomationReply::failure({AutomationErrorCode::invalidRequest, std::string(busyMessage)}),
             request->requestID);
        return;
    }
    connection.busy = true;
    asio::post(BackgroundQueue::shared(), [weak = weak_from_this(), handler = handler_, request = std::move(*request),
                                           descriptor = connection.descriptor, id = connection.id] {
        std::optional<AutomationReply> reply;
        try {
            reply = handler->handle(request);
        } catch (const AutomationFailure& failure) {
            reply = AutomationReply::failure(failure);
        } catch (...) {
            // Leaves no reply: the connection is dropped.
        }
        if (const auto core = weak.lock()) {
            std::lock_guard lock(core->mutex_);
            core->handlerReturned(descriptor, id, std::move(reply), request.requestID);
        }
    });
}

void AutomationSocketServer::Core::handlerReturned(int descriptor, const ConnectionID& id,
                                                   std::optional<AutomationReply> reply, const std::string& requestID) {
    Connection* connection = find(descriptor, id);
    if (connection == nullptr) return;  // dropped or replaced meanwhile: the reply is discarded
    connection->busy = false;
    if (!reply) {
        drop(descriptor);
        return;
    }
    updateStatistics([](Statistics& s) { ++s.handledRequests; });
    send(*connection, *reply, requestID);
}

void AutomationSocketServer::Core::send(Connection& connection, const AutomationReply& reply,
                                        std::string_view requestID) {
    std::string frame;
    try {
        frame = AutomationResponseEncoder::encode(reply, requestID, appInstanceID_);
    } catch (...) {
        drop(connection.descriptor);
        return;
    }
    ReplyQueue& replies = *connection.replies;
    std::unique_lock lock(replies.mutex);
    if (!replies.writing) {
        // Nothing queued before it: try the socket without waiting. A reply that fits into the
        // socket buffer (nearly all) is done here; only the rest goes to a writer on the pool,
        // so a peer that does not read still delays nobody.
        const ssize_t written = ::send(connection.descriptor, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written == static_cast<ssize_t>(frame.size())) return;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lock.unlock();
            drop(connection.descriptor);
            return;
        }
        if (written > 0) frame.erase(0, static_cast<std::size_t>(written));
    }
    if (replies.bytes + frame.size() > maximumQueuedReplyBytes) {
        lock.unlock();
        drop(connection.descriptor);
        return;
    }
    replies.bytes += frame.size();
    replies.frames.push_back(std::move(frame));
    if (replies.writing) return;  // the running writer takes it

    const int duplicate = ::fcntl(connection.descriptor, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        replies.frames.clear();
        replies.bytes = 0;
        lock.unlock();
        drop(connection.descriptor);
        return;
    }
    replies.writing = true;
    lock.unlock();
    startWriter(connection.replies, duplicate, connection.descriptor, connection.id);
}

void AutomationSocketServer::Core::startWriter(const std::shared_ptr<ReplyQueue>& replies, int duplicate,
                                               int descriptor, const ConnectionID& id) {
    writers_->begin();
    asio::post(BackgroundQueue::shared(), [weak = weak_from_this(), writers = writers_, replies, duplicate, descriptor,
                                           id] {
        bool failed = false;
        while (true) {
            std::string frame;
            {
                std::lock_guard lock(replies->mutex);
                if (replies->frames.empty()) {
                    replies->writing = false;
                    break;
                }
                frame = std::move(replies->frames.front());
                replies->frames.pop_front();
                replies->bytes -= frame.size();
            }
            try {
                UnixSocket::writeAll(duplicate, frame, replyTimeout);
            } catch (...) {
                std::lock_guard lock(replies->mutex);
                replies->frames.clear();
                replies->bytes = 0;
                replies->writing = false;
                failed = true;
                break;
            }
        }
        ::close(duplicate);
        if (failed) {
            if (const auto core = weak.lock()) {
                std::lock_guard lock(core->mutex_);
                if (core->find(descriptor, id)) core->drop(descriptor);
            }
        }
        writers->end();
    });
}

void AutomationSocketServer::Core::drop(int descriptor) {
    const auto entry = connections_.find(descriptor);
    if (entry == connections_.end()) return;
    asio::error_code ignored;
    entry->second.readSource->close(ignored);
    connections_.erase(entry);
    countConnections();
}

AutomationSocketServer::AutomationSocketServer(AutomationEndpoint endpoint, std::string appInstanceID,
                                               std::shared_ptr<AutomationRequestHandling> handler)
    : endpoint_(endpoint), core_(std::make_shared<Core>(std::move(endpoint), std::move(appInstanceID), std::move(handler))) {}

AutomationSocketServer::~AutomationSocketServer() {
    try {
        stop();
    } catch (...) {
    }
    // After this no step runs again; tasks still holding the core find nothing to serve.
    core_->shutDownQueue();
}

void AutomationSocketServer::start() {
    core_->onQueue([this] { core_->start(); });
}

void AutomationSocketServer::stop() {
    core_->onQueue([this] { core_->stop(); });
    core_->writers()->waitIdle(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(replyTimeout + 1)));
}

bool AutomationSocketServer::isListening() const { return core_->isListening(); }

AutomationSocketServer::Statistics AutomationSocketServer::statistics() const { return core_->statistics(); }

}  // namespace recorder
