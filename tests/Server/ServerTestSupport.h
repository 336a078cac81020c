#pragma once
// Shared pieces of the socket server tests: a scripted handler, a gate to hold a handler call,
// and a raw client that reads every line the server sends.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "RecorderAutomation/Server/AutomationRequestHandling.h"
#include "RecorderAutomation/Server/AutomationSocketServer.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/Support/WaitUntil.h"

namespace testsupport {

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
class ScriptedHandler : public recorder::AutomationRequestHandling {
public:
    std::function<recorder::AutomationReply(const recorder::AutomationRequest&)> answer;
    std::atomic<int> calls{0};
    std::atomic<int> returned{0};

    recorder::AutomationReply handle(const recorder::AutomationRequest& request) override;
};

// A server on a temporary endpoint answering through a ScriptedHandler; the fixtures start it.
struct ServerUnderTest {
    explicit ServerUnderTest(const std::string& instance)
        : server(std::make_unique<recorder::AutomationSocketServer>(endpoint, instance, handler)) {}
    std::string path() const { return endpoint.path(); }

    TemporaryDirectory temporary;
    recorder::AutomationEndpoint endpoint{"app.lumora.Lumora.test", temporary.path() / "endpoint"};
    std::shared_ptr<ScriptedHandler> handler = std::make_shared<ScriptedHandler>();
    std::unique_ptr<recorder::AutomationSocketServer> server;
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
    recorder::LineFrameDecoder decoder_{1 << 20};
    std::deque<std::string> pending_;
};

// A request frame with the given identifier and command, line feed included.
std::string requestLine(const std::string& requestID,
                        recorder::AutomationCommand command = recorder::AutomationCommand::capabilities());

}  // namespace testsupport
