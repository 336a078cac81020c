// When the server takes a request's bytes out of the socket: only after the reply is written
// (so the waiting client is woken once, by its reply), without ever decoding the same bytes
// twice, and at once while a call is held (so the loop does not spin on a readable socket).
#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ServerTestSupport.h"

namespace recorder {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// What the client wrote and the server has not taken out of the socket yet (the kernel counts
// the buffers holding the bytes, not the bytes themselves): 0 once it has taken everything.
int unreadBytes(int clientDescriptor) {
    int bytes = -1;
    if (::ioctl(clientDescriptor, SIOCOUTQ, &bytes) != 0) return -1;
    return bytes;
}

// Descriptors registered with the epoll instances of this process (the server's loop only, in
// these tests).
int watchedByLoops() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string() != "anon_inode:[eventpoll]") continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        for (std::string line; std::getline(info, line);)
            if (line.starts_with("tfd:")) ++count;
    }
    return count;
}

// "id" for an answered request, "busy:id" for the refusal of a pipelined one.
std::string summary(const std::string& line) {
    const auto reply = nlohmann::json::parse(line);
    const std::string id = reply.value("requestId", "");
    return reply.at("ok").get<bool>() ? id : "busy:" + id;
}

// What a client does on one connection, step by step: send bytes, or read a number of lines.
struct Step {
    std::string send;
    int read = 0;
};

struct ExchangeCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> replies;
    int calls;
};

void PrintTo(const ExchangeCase& c, std::ostream* out) { *out << c.name; }

const std::string a = requestLine("a");
const std::string b = requestLine("b");

const ExchangeCase exchangeCases[] = {
    {"OneWrite", {{a, 1}}, {"a"}, 1},
    {"SentAfterAPause", {{""}, {a, 1}}, {"a"}, 1},
    {"SplitInTwo", {{a.substr(0, 10)}, {a.substr(10), 1}}, {"a"}, 1},
    {"SplitInThreeAtTheLineFeed", {{a.substr(0, 5)}, {a.substr(5, a.size() - 6)}, {"\n", 1}}, {"a"}, 1},
    {"TwoRequestsInOneWrite", {{a + b, 2}}, {"busy:b", "a"}, 1},
    {"ARequestAndHalfOfTheNext", {{a + b.substr(0, 12), 1}, {b.substr(12), 1}}, {"a", "b"}, 2},
    {"OneAfterTheOther", {{a, 1}, {b, 1}}, {"a", "b"}, 2},
    {"EmptyLinesAround", {{"\n\n" + a + "\n", 1}, {"\n" + b, 1}}, {"a", "b"}, 2},
};

class ServerRequestBytesTest : public testing::Test, protected ServerUnderTest {
protected:
    ServerRequestBytesTest() : ServerUnderTest("instance-B") {}
};

class ServerRequestBytesExchange : public ServerRequestBytesTest, public testing::WithParamInterface<ExchangeCase> {};

TEST_P(ServerRequestBytesExchange, EveryRequestIsDecodedOnceAndAnsweredInOrder) {
    handler->answer = [](const AutomationRequest& request) {
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    server->start();
    TestClient client(path());
    std::vector<std::string> replies;
    for (const auto& step : GetParam().steps) {
        if (!step.send.empty()) client.send(step.send);
        // A pause between writes, so that the server reads each part on its own.
        if (step.read == 0) std::this_thread::sleep_for(20ms);
        for (int i = 0; i < step.read; ++i) {
            const auto line = client.nextLine();
            ASSERT_TRUE(line);
            replies.push_back(summary(*line));
        }
    }
    EXPECT_EQ(replies, GetParam().replies);
    EXPECT_EQ(handler->calls, GetParam().calls);
    // Nothing more is answered: no part of the bytes was decoded a second time.
    client.close();
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 0; }));
    EXPECT_EQ(handler->calls, GetParam().calls);
    EXPECT_EQ(server->statistics().handledRequests, GetParam().calls);
    EXPECT_EQ(server->statistics().malformedMessages, 0);
}

INSTANTIATE_TEST_SUITE_P(Writes, ServerRequestBytesExchange, testing::ValuesIn(exchangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerRequestBytesTest, ARequestStaysInTheSocketDuringItsCallAndIsTakenOnceItsReplyIsWritten) {
    std::atomic<int> clientDescriptor = -1;
    std::atomic<int> duringCall = -2;
    handler->answer = [&](const AutomationRequest& request) {
        duringCall = unreadBytes(clientDescriptor);
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    server->start();
    TestClient client(path());
    clientDescriptor = client.descriptor();
    client.send(a);
    const auto line = client.nextLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(summary(*line), "a");
    EXPECT_GT(duringCall, 0);
    EXPECT_TRUE(waitUntil([&] { return unreadBytes(client.descriptor()) == 0; }));
    // The connection reads on as before: the next request is answered too.
    client.send(b);
    const auto next = client.nextLine();
    ASSERT_TRUE(next);
    EXPECT_EQ(summary(*next), "b");
    EXPECT_EQ(handler->calls, 2);
}

double processSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

TEST_F(ServerRequestBytesTest, AHeldCallsBytesAreTakenByTheLoopThatTookOverWhichThenWaitsWithoutSpinning) {
    Gate release;
    Gate entered;
    handler->answer = [&](const AutomationRequest& request) {
        if (request.requestID == "a") {
            entered.open();
            release.wait();
        }
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    server->start();
    TestClient client(path());
    client.send(a);
    ASSERT_TRUE(entered.wait());
    // The thread that took the loop over finds the socket readable and takes the bytes.
    EXPECT_TRUE(waitUntil([&] { return unreadBytes(client.descriptor()) == 0; }));
    // A socket left readable would keep that loop busy; the process stays nearly idle instead.
    const double before = processSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(processSeconds() - before, 0.15);
    // Still read while the call is held: a second request is refused at once.
    client.send(b);
    const auto refusal = client.nextLine();
    ASSERT_TRUE(refusal);
    EXPECT_EQ(summary(*refusal), "busy:b");
    release.open();
    const auto answer = client.nextLine();
    ASSERT_TRUE(answer);
    EXPECT_EQ(summary(*answer), "a");
    EXPECT_EQ(handler->calls, 1);
}

TEST_F(ServerRequestBytesTest, AConnectionAnsweredBeforeItHadToWaitIsNeverRegisteredWithTheLoop) {
    std::atomic<int> baseline = -1;
    std::atomic<int> unregistered = 0;
    handler->answer = [&](const AutomationRequest& request) {
        if (watchedByLoops() == baseline) ++unregistered;
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    server->start();
    baseline = watchedByLoops();  // the loop's wake-up and the listener
    ASSERT_GT(baseline, 0);
    // A request sent right after connecting is nearly always there when the loop accepts.
    constexpr int exchanges = 20;
    for (int i = 0; i < exchanges; ++i) {
        TestClient client(path());
        client.send(a);
        const auto line = client.nextLine();
        ASSERT_TRUE(line);
        EXPECT_EQ(summary(*line), "a");
    }
    EXPECT_GT(unregistered, 0);
    EXPECT_EQ(handler->calls, exchanges);
    // A connection that waits for its peer is watched, and answered once the peer writes.
    TestClient waiting(path());
    ASSERT_TRUE(waitUntil([&] { return watchedByLoops() == baseline + 1; }));
    waiting.send(b);
    const auto late = waiting.nextLine();
    ASSERT_TRUE(late);
    EXPECT_EQ(summary(*late), "b");
}

}  // namespace
}  // namespace recorder
