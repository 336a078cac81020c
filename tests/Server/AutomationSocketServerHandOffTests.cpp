// Where handler calls run: on the loop thread itself while they are quick, and a call that
// lasts hands the loop to another thread instead of holding up the other connections.
#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/StopPayload.h"
#include "ServerTestSupport.h"

namespace recorder {
namespace {

using namespace testsupport;
using StopResponse = AutomationResponse<StopPayload>;

constexpr const char* loopThreadName = "rec.auto.server";

std::string currentThreadName() {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// Threads of this process that carry the server loop's name (those of servers of earlier
// tests may still be on their way out, so tests compare against a count taken before).
int loopThreads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name == loopThreadName) ++count;
    }
    return count;
}

struct Call {
    std::string requestID;
    std::thread::id thread;
    std::string threadName;
};

class ServerHandOffTest : public testing::Test {
protected:
    ServerHandOffTest() {
        handler->answer = [this](const AutomationRequest& request) {
            {
                std::lock_guard lock(mutex);
                seen.push_back({request.requestID, std::this_thread::get_id(), currentThreadName()});
            }
            if (request.requestID.starts_with("held")) release.wait();
            return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
        };
        server->start();
    }

    std::string path() const { return endpoint.path(); }

    StopResponse exchange(const std::string& requestID) {
        TestClient client(path());
        client.send(requestLine(requestID));
        return StopResponse::decode(client.nextLine().value_or("{}"));
    }

    Call call(const std::string& requestID) {
        std::lock_guard lock(mutex);
        for (const auto& entry : seen)
            if (entry.requestID == requestID) return entry;
        return {};
    }

    const int threadsBefore = loopThreads();
    Gate release;
    std::mutex mutex;
    std::vector<Call> seen;
    TemporaryDirectory temporary;
    AutomationEndpoint endpoint{"app.lumora.Lumora.test", temporary.path() / "endpoint"};
    std::shared_ptr<ScriptedHandler> handler = std::make_shared<ScriptedHandler>();
    std::unique_ptr<AutomationSocketServer> server =
        std::make_unique<AutomationSocketServer>(endpoint, "instance-A", handler);
};

TEST_F(ServerHandOffTest, QuickCallsRunOnTheLoopThreadItself) {
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(exchange("quick-" + std::to_string(i)).requestID, "quick-" + std::to_string(i));
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 20u);
    int sameAsBefore = 0;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].threadName, loopThreadName) << seen[i].requestID;
        if (i > 0 && seen[i].thread == seen[i - 1].thread) ++sameAsBefore;
    }
    // A call preempted for longer than the hand-off delay on a busy machine moves the loop once;
    // quick calls otherwise stay on one thread.
    EXPECT_GE(sameAsBefore, 15);
}

TEST_F(ServerHandOffTest, ACallThatLastsLeavesTheLoopToAnotherThreadAndRejoinsAfterwards) {
    TestClient slow(path());
    slow.send(requestLine("held-slow"));
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 1; }));

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange("meanwhile").requestID, "meanwhile");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_NE(call("meanwhile").thread, call("held-slow").thread);
    EXPECT_EQ(call("meanwhile").threadName, loopThreadName);

    // The connection of the held call is still read: a second request meanwhile is refused.
    slow.send(requestLine("pipelined"));
    const auto refusal = StopResponse::decode(slow.nextLine().value_or("{}"));
    EXPECT_EQ(refusal.requestID, "pipelined");
    EXPECT_FALSE(refusal.ok);

    release.open();
    EXPECT_EQ(StopResponse::decode(slow.nextLine().value_or("{}")).requestID, "held-slow");
    EXPECT_EQ(exchange("after").requestID, "after");
    EXPECT_EQ(server->statistics().handledRequests, 3);
    // Back to one leader and one standby: the thread that was held leaves or stands by.
    EXPECT_TRUE(waitUntil([&] { return loopThreads() <= threadsBefore + 2; }));
}

TEST_F(ServerHandOffTest, HeldCallsUseBoundedThreadsThatEndOnceReleased) {
    // Seven held, so that the eighth peer has a place.
    std::vector<std::unique_ptr<TestClient>> held;
    for (int i = 0; i < 7; ++i) {
        held.push_back(std::make_unique<TestClient>(path()));
        held.back()->send(requestLine("held-" + std::to_string(i)));
    }
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 7; }));
    EXPECT_EQ(exchange("free").requestID, "free");
    // One thread in each held call, a leader and a standby.
    EXPECT_LE(loopThreads(), threadsBefore + 9);
    EXPECT_GE(loopThreads(), 9);

    release.open();
    for (std::size_t i = 0; i < held.size(); ++i)
        EXPECT_EQ(StopResponse::decode(held[i]->nextLine().value_or("{}")).requestID, "held-" + std::to_string(i));
    EXPECT_TRUE(waitUntil([&] { return loopThreads() <= threadsBefore + 2; }));
    EXPECT_EQ(server->statistics().handledRequests, 8);
}

TEST_F(ServerHandOffTest, ReleasingTheServerDoesNotWaitForAHeldCallAndNoLoopThreadOutlivesIt) {
    TestClient client(path());
    client.send(requestLine("held-at-exit"));
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 1; }));

    const auto started = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(client.nextLine(), std::nullopt);  // closed, and the reply never comes

    release.open();
    EXPECT_TRUE(waitUntil([&] { return handler->returned == 1; }));
    EXPECT_TRUE(waitUntil([&] { return loopThreads() <= threadsBefore; }));
}

// In a child process: constructs a server with every descriptor number taken (the timer is
// the first descriptor the server opens) and exits 0 after printing the failure.
[[noreturn]] void constructWithoutDescriptors(const AutomationEndpoint& endpoint) {
    const rlimit few{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &few);
    while (::dup(0) >= 0) {
    }
    try {
        AutomationSocketServer server(endpoint, "instance-A", std::make_shared<ScriptedHandler>());
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        std::_Exit(0);
    }
    std::_Exit(1);
}

TEST(ServerHandOffTimer, AServerThatCannotCreateItsHandOffTimerFailsToConstruct) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checks probe memory through a pipe of their own; with every
    // descriptor taken they take sound objects for broken ones.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    TemporaryDirectory temporary;
    const AutomationEndpoint endpoint{"app.lumora.Lumora.test", temporary.path() / "endpoint"};
    // A fresh process: the loop threads of earlier tests must not be forked mid-step.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(constructWithoutDescriptors(endpoint), testing::ExitedWithCode(0), "timerfd_create");
}

}  // namespace
}  // namespace recorder
