// Whole exchanges per second, one new connection per request as the clients make them, against
// the socket server with a handler that answers at once, and against a raw server that only
// accepts, reads one line and writes a fixed one. The ratio of the two is the server's cost.

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Server/AutomationSocketServer.h"
#include "tests/Support/AppSocket.h"
#include "tests/Support/TemporaryDirectory.h"

namespace {

using namespace recorder;

class ImmediateHandler : public AutomationRequestHandling {
public:
    AutomationReply handle(const AutomationRequest& request) override {
        return AutomationReply::stopped({request.requestID, AutomationSessionState::stopping});
    }
};

const std::string& requestFrame() {
    static const std::string frame = LineFrameEncoder::encode(
        AutomationRequest{1, "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", "5E0C2B8A-3D2F-4A6B-9C1E-7F8D9A0B1C2D",
                          AutomationCommand::stop({"A1B2C3D4-E5F6-4789-9ABC-DEF012345678"})});
    return frame;
}

struct ServerUnderTest {
    testsupport::TemporaryDirectory directory{"lumora-bench"};
    AutomationEndpoint endpoint{"app.lumora.Lumora.bench", directory / "endpoint"};
    AutomationSocketServer server{endpoint, "5E0C2B8A-3D2F-4A6B-9C1E-7F8D9A0B1C2D",
                                  std::make_shared<ImmediateHandler>()};

    ServerUnderTest() { server.start(); }
    ~ServerUnderTest() { server.stop(); }
};

// Accepts, reads up to the first line feed, writes a fixed reply of the same size as the
// real one, closes; one connection at a time.
struct RawServer {
    std::string path() const { return socket.path().string(); }

    testsupport::TemporaryDirectory directory{"lumora-bench"};
    testsupport::AppSocket socket{
        directory / "raw.sock", testsupport::AppSocket::Script([](const std::string&) {
            return std::optional<std::string>(
                "{\"appInstanceId\":\"5E0C2B8A-3D2F-4A6B-9C1E-7F8D9A0B1C2D\",\"ok\":true,"
                "\"protocolVersion\":1,\"requestId\":\"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0\","
                "\"result\":{\"sessionId\":\"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0\","
                "\"state\":\"stopping\"}}\n");
        })};
};

void exchange(const std::string& path) {
    const int fd = UnixSocket::connect(path, 5);
    UnixSocket::writeAll(fd, requestFrame(), 5);
    auto reply = UnixSocket::readLine(fd, 5, 65536);
    benchmark::DoNotOptimize(reply);
    ::close(fd);
}

void socketServerExchange(benchmark::State& state) {
    static ServerUnderTest server;  // shared by the threads, stopped at exit
    const std::string path = server.endpoint.path();
    for (auto _ : state) exchange(path);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(socketServerExchange)->Threads(1)->Threads(8)->UseRealTime();

void rawServerExchange(benchmark::State& state) {
    static RawServer server;
    const std::string path = server.path();
    for (auto _ : state) exchange(path);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(rawServerExchange)->Threads(1)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
