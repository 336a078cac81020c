#pragma once
// Shared pieces of the socket server tests: a temporary endpoint, a scripted handler, a gate
// to hold a handler call, and a raw client that reads every line the server sends.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "RecorderAutomation/Server/AutomationRequestHandling.h"

namespace recorder::testing_support {

// A directory under /tmp, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// A one-shot latch that a handler call can wait on.
class Gate {
public:
    void open();
    // False when `limit` passed first.
    bool wait(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// Answers every request with `answer`, or by default with a stop payload naming the request.
class ScriptedHandler : public AutomationRequestHandling {
public:
    std::function<AutomationReply(const AutomationRequest&)> answer;
    std::atomic<int> calls{0};
    std::atomic<int> returned{0};

    AutomationReply handle(const AutomationRequest& request) override;
};

// A connected socket read frame by frame.
class TestClient {
public:
    explicit TestClient(const std::string& path, double timeout = 2);
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void send(std::string_view bytes);
    // False when the server has already closed the connection.
    bool trySend(std::string_view bytes);
    // The next line, or nothing once the server has closed the connection. Fails the test and
    // returns nothing when `timeout` passes first.
    std::optional<std::string> nextLine(double timeout = 2);
    void close();
    int descriptor() const noexcept { return fd_; }

private:
    int fd_ = -1;
    LineFrameDecoder decoder_{1 << 20};
    std::deque<std::string> pending_;
};

// A request frame with the given identifier and command, line feed included.
std::string requestLine(const std::string& requestID, AutomationCommand command = AutomationCommand::capabilities());

// Polls `condition` every millisecond for up to `limit`.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace recorder::testing_support
