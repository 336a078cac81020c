// The server's loop under pressure: a burst of connections beyond the limit, and a reply's
// time-out that must fire while another connection's handler call holds a thread.
#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"
#include "ServerTestSupport.h"

namespace recorder {
namespace {

using namespace testsupport;
using StopResponse = AutomationResponse<StopPayload>;

// Declared before the server so that it outlives it: a handler call may still use it.
struct HeldCalls {
    DisplaysPayload large;
    Gate release;
};

// Connects as soon as the listener's backlog has room: a burst beyond it finds it full.
std::unique_ptr<TestClient> connectOnceThereIsRoom(const std::string& path) {
    for (int attempt = 0;; ++attempt) {
        try {
            return std::make_unique<TestClient>(path);
        } catch (const UnixSocket::Failure&) {
            if (attempt == 2000) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

class ServerLoopTest : public testing::Test, protected HeldCalls, protected ServerUnderTest {
protected:
    ServerLoopTest() : ServerUnderTest("instance-L") {
        for (int i = 0; i < 400; ++i)
            large.displays.push_back({std::to_string(i), std::string(60, 'n'), 1920, 1080, {}, {}, {}, i == 0});
        handler->answer = [this](const AutomationRequest& request) {
            if (request.requestID.starts_with("held")) release.wait();
            if (request.requestID.starts_with("big")) return AutomationReply::displays(large);
            return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
        };
        server->start();
    }
    ~ServerLoopTest() override { release.open(); }
};

TEST_F(ServerLoopTest, ABurstOfConnectsBeyondEightServesEightAndRefusesAndCountsEveryOtherOnce) {
    constexpr int burst = 20;
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < burst; ++i) clients.push_back(connectOnceThereIsRoom(path()));
    ASSERT_TRUE(waitUntil([&] { return server->statistics().rejectedPeers == burst - 8; }));
    EXPECT_EQ(server->statistics().activeConnections, 8);

    int answered = 0, refused = 0;
    for (int i = 0; i < burst; ++i) {
        const std::string id = "burst-" + std::to_string(i);
        const auto line = clients[static_cast<std::size_t>(i)]->trySend(requestLine(id))
                              ? clients[static_cast<std::size_t>(i)]->nextLine()
                              : std::nullopt;
        if (!line) {
            ++refused;
            continue;
        }
        EXPECT_EQ(StopResponse::decode(*line).requestID, id);
        ++answered;
    }
    EXPECT_EQ(answered, 8);
    EXPECT_EQ(refused, burst - 8);
    EXPECT_EQ(server->statistics().handledRequests, 8);

    // Once the eight leave, their places are free again at once.
    clients.clear();
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 0; }));
    for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<TestClient>(path()));
    for (int i = 0; i < 8; ++i) {
        clients[static_cast<std::size_t>(i)]->send(requestLine("again-" + std::to_string(i)));
        const auto line = clients[static_cast<std::size_t>(i)]->nextLine();
        ASSERT_TRUE(line.has_value());
        EXPECT_EQ(StopResponse::decode(*line).requestID, "again-" + std::to_string(i));
    }
    EXPECT_EQ(server->statistics().rejectedPeers, burst - 8);
}

TEST_F(ServerLoopTest, AReplyTimeOutFiresWhileAnotherConnectionsCallIsHeld) {
    TestClient waiting(path());
    waiting.send(requestLine("held-1"));
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 1; }));

    // A peer that never reads: its replies back up until the writer waits for room.
    ASSERT_LT(AutomationResponseEncoder::encode(AutomationReply::displays(large), "big0", "instance-L").size(), 65536u);
    TestClient silent(path());
    for (int i = 0; i < 8; ++i) {
        const auto before = server->statistics().handledRequests;
        silent.send(requestLine("big" + std::to_string(i)));
        ASSERT_TRUE(waitUntil([&] { return server->statistics().handledRequests > before; }));
    }
    const auto filled = std::chrono::steady_clock::now();
    // The held call keeps its thread; the loop, run on by another, still drops the silent peer.
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 1; }, std::chrono::seconds(12)));
    EXPECT_GE(std::chrono::steady_clock::now() - filled, std::chrono::seconds(3));
    EXPECT_EQ(handler->returned, 8);

    release.open();
    const auto line = waiting.nextLine();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(StopResponse::decode(*line).requestID, "held-1");
    EXPECT_EQ(server->statistics().handledRequests, 9);
}

// In a child process: constructs a server with only `free` descriptor numbers left and exits 0
// after printing the failure.
[[noreturn]] void constructWithFreeDescriptors(const AutomationEndpoint& endpoint, int free) {
    const rlimit few{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &few);
    std::vector<int> taken;
    taken.reserve(64);
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) taken.push_back(fd);
    for (int i = 0; i < free; ++i) {
        ::close(taken.back());
        taken.pop_back();
    }
    try {
        AutomationSocketServer server(endpoint, "instance-L", std::make_shared<ScriptedHandler>());
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        std::_Exit(0);
    }
    std::_Exit(1);
}

struct DescriptorCase {
    const char* label;
    int free;
    const char* failedCall;
};

class ServerConstructionTest : public testing::TestWithParam<DescriptorCase> {};

TEST_P(ServerConstructionTest, AServerThatCannotOpenItsLoopFailsToConstructNamingTheCall) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checks probe memory through a pipe of their own; with every
    // descriptor taken they take sound objects for broken ones.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    TemporaryDirectory temporary;
    const AutomationEndpoint endpoint{"app.lumora.Lumora.test", temporary.path() / "endpoint"};
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(constructWithFreeDescriptors(endpoint, GetParam().free), testing::ExitedWithCode(0),
                std::string("^") + GetParam().failedCall + ": ");
}

// The hand-off timer first, then the loop's epoll, then its wake-up descriptor.
INSTANTIATE_TEST_SUITE_P(Descriptors, ServerConstructionTest,
                         testing::Values(DescriptorCase{"none", 0, "timerfd_create"},
                                         DescriptorCase{"one", 1, "epoll_create1"},
                                         DescriptorCase{"two", 2, "eventfd"}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace recorder
