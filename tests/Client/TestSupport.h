#pragma once
// Helpers for the client tests: temporary directories and HOME, and a listener whose every
// connection runs a behaviour written by the test, so that it can misbehave on purpose.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace recorder::testing {

class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Points HOME at a fresh temporary directory for the object's lifetime.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    const std::filesystem::path& path() const { return directory_.path(); }

private:
    TemporaryDirectory directory_;
    std::optional<std::string> previous_;
};

// Listens on a Unix socket; each accepted connection is handed (blocking descriptor) to the
// behaviour on the listener's own thread, then closed.
class TestListener {
public:
    using Behaviour = std::function<void(int fd)>;
    TestListener(std::filesystem::path socketPath, Behaviour behaviour);
    ~TestListener();
    TestListener(const TestListener&) = delete;
    TestListener& operator=(const TestListener&) = delete;

    int connections() const { return connections_.load(); }
    // Every complete line the behaviours read with readRequest().
    std::vector<std::string> requests() const;
    // Reads one request line from fd (blocking, up to 1 s) and records it.
    std::string readRequest(int fd);

private:
    std::filesystem::path path_;
    Behaviour behaviour_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Writes all of `bytes` to a blocking descriptor, ignoring a vanished peer.
void sendAll(int fd, std::string_view bytes);

// A bound socket file with nobody listening: connecting to it is refused.
void makeDeadSocketFile(const std::filesystem::path& path);

}  // namespace recorder::testing

namespace recorder::testing {
// Reads and discards until the peer closes or `seconds` pass.
void drainUntilClosed(int fd, double seconds);
}  // namespace recorder::testing
