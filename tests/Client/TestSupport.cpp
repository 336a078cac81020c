#include "TestSupport.h"

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace recorder::testing {

TemporaryDirectory::TemporaryDirectory() {
    // Short paths: socket paths derived from here must stay under 100 bytes.
    char pattern[] = "/tmp/lumora-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

TemporaryHome::TemporaryHome() {
    if (const char* home = std::getenv("HOME")) previous_ = home;
    ::setenv("HOME", directory_.path().c_str(), 1);
}

TemporaryHome::~TemporaryHome() {
    if (previous_) {
        ::setenv("HOME", previous_->c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

namespace {
sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}
}  // namespace

TestListener::TestListener(std::filesystem::path socketPath, Behaviour behaviour)
    : path_(std::move(socketPath)), behaviour_(std::move(behaviour)) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = addressOf(path_);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
        throw std::runtime_error("cannot listen on " + path_.string() + ": " + std::strerror(errno));
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

TestListener::~TestListener() {
    stopping_.store(true);
    thread_.join();
    ::close(listener_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

std::vector<std::string> TestListener::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string TestListener::readRequest(int fd) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    char c = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) continue;
        if (::read(fd, &c, 1) != 1) break;
        if (c == '\n') break;
        line += c;
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(line);
    return line;
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
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

}  // namespace recorder::testing

namespace recorder::testing {
void drainUntilClosed(int fd, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buffer[512];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        if (::read(fd, buffer, sizeof buffer) <= 0) return;
    }
}
}  // namespace recorder::testing
