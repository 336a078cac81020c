#include "tests/Support/AppSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/Support/LineReader.h"

namespace testsupport {

namespace {
sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}
}  // namespace

AppSocket::AppSocket(std::filesystem::path socketPath, Behaviour behaviour)
    : path_(std::move(socketPath)), behaviour_(std::move(behaviour)) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = addressOf(path_);
    ::unlink(path_.c_str());
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0) {
        const std::string reason = std::strerror(errno);
        if (listener_ >= 0) ::close(listener_);
        throw std::runtime_error("cannot listen on " + path_.string() + ": " + reason);
    }
    thread_ = std::thread([this] {
        while (!stopping_.load()) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            connections_.fetch_add(1);
            behaviour_(fd);
            ::close(fd);
        }
    });
}

// One request per connection, as the clients send them; a bare probe closes at once.
AppSocket::AppSocket(std::filesystem::path socketPath, Script script)
    : AppSocket(std::move(socketPath), Behaviour([this, script = std::move(script)](int fd) {
                    const auto line = LineReader(fd).next(std::chrono::seconds(5));
                    if (!line) return;
                    requests_.add(*line);
                    if (const auto answer = script(*line)) sendAll(fd, *answer);
                })) {}

AppSocket::~AppSocket() {
    stopping_.store(true);
    thread_.join();
    ::close(listener_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

std::string AppSocket::readRequest(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char c = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        if (::read(fd, &c, 1) != 1) break;
        if (c == '\n') break;
        line += c;
    }
    requests_.add(line);
    return line;
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void drainUntilClosed(int fd, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buffer[512];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        if (::read(fd, buffer, sizeof buffer) <= 0) return;
    }
}

void makeDeadSocketFile(const std::filesystem::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto address = addressOf(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot bind " + path.string());
    }
    ::close(fd);
}

}  // namespace testsupport
