#include "RecorderAutomation/Client/UnixSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

namespace recorder::UnixSocket {

namespace {

// Monotonic: a wall clock set back mid-exchange would stretch a time-out by as much.
using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double timeout) {
    if (std::isnan(timeout) || timeout < 0) timeout = 0;
    // Far beyond any poll cap, and safe from overflow.
    timeout = std::min(timeout, 1.0e9);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
}

double secondsUntil(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

}  // namespace

int pollMilliseconds(double timeout) {
    if (std::isnan(timeout) || timeout < 0) return 0;
    if (timeout > 3600) return 3'600'000;
    return static_cast<int>(timeout * 1000);
}

sockaddr_un address(std::string_view path) {
    if (path.size() > maximumPathBytes) throw Failure::pathTooLong();
    sockaddr_un result{};
    result.sun_family = AF_UNIX;
    std::memcpy(result.sun_path, path.data(), path.size());
    result.sun_path[path.size()] = '\0';
    return result;
}

int connect(std::string_view path, double timeout) {
    // The address first: a path that is too long fails before any socket exists.
    const sockaddr_un addr = address(path);

    // Close-on-exec so that an app launched meanwhile never inherits a connection; non-blocking
    // from the start, so that every wait is a poll bounded by the deadline.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw Failure::systemCall("socket", errno);

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
    const int error = errno;
    if (error != EINPROGRESS) {
        ::close(fd);
        throw Failure::systemCall("connect", error);
    }
    try {
        wait(fd, POLLOUT, timeout);
    } catch (...) {
        ::close(fd);
        throw;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) < 0) pending = errno;
    if (pending != 0) {
        ::close(fd);
        throw Failure::systemCall("connect", pending);
    }
    return fd;
}

void wait(int fd, short events, double timeout) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, pollMilliseconds(timeout));
    if (ready == 0) throw Failure::timedOut();
    if (ready < 0) throw Failure::systemCall("poll", errno);
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (entry.revents & events) == 0) {
        throw Failure::closed();
    }
}

void writeAll(int fd, std::string_view bytes, double timeout) {
    const auto deadline = deadlineAfter(timeout);
    std::size_t offset = 0;
    bool isSocket = true;
    while (offset < bytes.size()) {
        const char* start = bytes.data() + offset;
        const std::size_t count = bytes.size() - offset;
        // send() with MSG_NOSIGNAL: a peer that has gone gives EPIPE instead of SIGPIPE.
        ssize_t written = isSocket ? ::send(fd, start, count, MSG_NOSIGNAL) : ::write(fd, start, count);
        if (written < 0 && isSocket && errno == ENOTSOCK) {
            isSocket = false;
            continue;
        }
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
            continue;
        }
        if (written == 0) throw Failure::systemCall("write", errno);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const double remaining = secondsUntil(deadline);
            if (!(remaining > 0)) throw Failure::timedOut();
            wait(fd, POLLOUT, remaining);
            continue;
        }
        throw Failure::systemCall("write", errno);
    }
}

std::string readLine(int fd, double timeout, std::int64_t limit) {
    LineFrameDecoder decoder(limit);
    char buffer[4096];
    const auto deadline = deadlineAfter(timeout);
    // Read first and wait only when nothing is there: a reply that has already come costs no poll.
    bool mayBeReady = true;
    while (true) {
        const double remaining = secondsUntil(deadline);
        if (!(remaining > 0)) throw Failure::timedOut();
        if (!mayBeReady) wait(fd, POLLIN, remaining);
        const ssize_t received = ::read(fd, buffer, sizeof buffer);
        if (received == 0) throw Failure::closed();
        if (received < 0) {
            mayBeReady = errno == EINTR;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            throw Failure::systemCall("read", errno);
        }
        mayBeReady = true;
        auto frames = decoder.append(std::string_view(buffer, static_cast<std::size_t>(received)));
        if (!frames.empty()) return std::move(frames.front());
    }
}

}  // namespace recorder::UnixSocket
