#pragma once
// A scripted stand-in for the app's automation socket: a listener on a Unix socket whose every
// connection runs a behaviour written by the test (so that it can misbehave on purpose), or
// answers its one request line with what a script returns.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/Support/Recorded.h"

namespace testsupport {

class AppSocket {
public:
    // Runs on the listener's own thread with the connection (blocking), which is closed after.
    using Behaviour = std::function<void(int fd)>;
    // Answers one request line (without its line feed); nothing closes the connection unanswered.
    using Script = std::function<std::optional<std::string>(const std::string& line)>;

    AppSocket(std::filesystem::path socketPath, Behaviour behaviour);
    AppSocket(std::filesystem::path socketPath, Script script);
    ~AppSocket();
    AppSocket(const AppSocket&) = delete;
    AppSocket& operator=(const AppSocket&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    int connections() const { return connections_.load(); }
    // Every request line read, in order (by the script, or by behaviours through readRequest).
    std::vector<std::string> requests() const { return requests_.all(); }
    void clearRequests() { requests_.clear(); }
    // Reads one request line from fd (byte by byte, so that nothing after it is consumed; up to
    // `limit`) and records it; what came before the limit when no line feed did.
    std::string readRequest(int fd, std::chrono::milliseconds limit = std::chrono::seconds(1));

private:
    std::filesystem::path path_;
    Behaviour behaviour_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    Recorded<std::string> requests_;
    std::thread thread_;
};

// Writes all of `bytes` to a blocking descriptor, ignoring a vanished peer.
void sendAll(int fd, std::string_view bytes);

// Reads and discards until the peer closes or `seconds` pass.
void drainUntilClosed(int fd, double seconds);

// A bound socket file with nobody listening: connecting to it is refused.
void makeDeadSocketFile(const std::filesystem::path& path);

}  // namespace testsupport
