// The socket server under sustained load and next to misbehaving peers. Each test prints its
// figures (and records them as test properties) so that docs/RELIABILITY.md can quote them.
//
// LUMORA_LOAD_SECONDS sets how long the load runs (default 5 s so that the suite stays fast;
// the figures in the docs come from a 20 s run).

#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "../Server/ServerTestSupport.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/StopPayload.h"

namespace recorder {
namespace {

using namespace testsupport;
using StopResponse = AutomationResponse<StopPayload>;
using Clock = std::chrono::steady_clock;

double loadSeconds() {
    const char* text = std::getenv("LUMORA_LOAD_SECONDS");
    const double seconds = text ? std::atof(text) : 5.0;
    return seconds > 0 ? std::min(seconds, 120.0) : 5.0;
}

std::size_t residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == "VmRSS:") {
            std::size_t kib = 0;
            status >> kib;
            return kib;
        }
    return 0;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

void report(const std::string& key, double value) {
    testing::Test::RecordProperty(key, std::to_string(value));
    std::cout << "[figure] " << key << " = " << value << std::endl;
}

class ServerReliabilityTest : public testing::Test, protected ServerUnderTest {
protected:
    ServerReliabilityTest() : ServerUnderTest("instance-R") {}
    void SetUp() override { server->start(); }
};

// Eight clients, each on a connection of its own, send requests back to back for the whole run
// while a ninth peer keeps trying to get in. Every request sent is answered with its own
// identifier; every ninth peer is closed without a reply; the counters agree with both.
TEST_F(ServerReliabilityTest, EightClientsUnderSustainedLoadLoseNoReplyAndNinthPeersAreRefused) {
    const double seconds = loadSeconds();
    const std::size_t residentAtStart = residentKiB();
    std::atomic<long> sent{0}, answered{0}, wrong{0};
    std::atomic<int> connected{0};
    std::atomic<bool> running{true};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([&, c] {
            TestClient client(path(), 5);
            ++connected;
            for (long i = 0; running; ++i) {
                const std::string id = std::to_string(c) + "-" + std::to_string(i);
                client.send(requestLine(id));
                ++sent;
                const auto line = client.nextLine(10);
                if (!line) return;
                const auto response = StopResponse::decode(*line);
                if (response.requestID != id || !response.result || response.result->sessionID != "for-" + id) ++wrong;
                ++answered;
            }
        });
    }
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 8; }, std::chrono::seconds(10)));

    long ninthPeers = 0, ninthAnswered = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        TestClient ninth(path(), 5);
        ++ninthPeers;
        // A refused peer sees the end of the stream, never a reply.
        if (ninth.trySend(requestLine("ninth")) && ninth.nextLine(5)) ++ninthAnswered;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    running = false;
    for (auto& thread : clients) thread.join();
    const std::size_t residentAtEnd = residentKiB();

    const auto statistics = server->statistics();
    report("load_seconds", seconds);
    report("requests_answered", static_cast<double>(answered));
    report("requests_per_second", static_cast<double>(answered) / seconds);
    report("replies_lost", static_cast<double>(sent - answered));
    report("ninth_peers_refused", static_cast<double>(ninthPeers - ninthAnswered));
    report("rss_start_kib", static_cast<double>(residentAtStart));
    report("rss_end_kib", static_cast<double>(residentAtEnd));

    EXPECT_EQ(connected, 8);
    EXPECT_GT(answered, 0);
    EXPECT_EQ(sent, answered) << "replies lost";
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(ninthAnswered, 0);
    EXPECT_GT(ninthPeers, 0);
    EXPECT_EQ(statistics.handledRequests, answered.load());
    EXPECT_EQ(statistics.rejectedPeers, ninthPeers);
    EXPECT_EQ(statistics.malformedMessages, 0);
}

// Latencies of `count` requests, each on a fresh connection as the real clients make them.
std::vector<double> latencies(const std::string& path, int count, const std::string& prefix) {
    std::vector<double> milliseconds;
    for (int i = 0; i < count; ++i) {
        const std::string id = prefix + std::to_string(i);
        const auto started = Clock::now();
        TestClient client(path, 5);
        client.send(requestLine(id));
        const auto line = client.nextLine(10);
        if (!line) break;
        EXPECT_EQ(StopResponse::decode(*line).requestID, id);
        milliseconds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    }
    return milliseconds;
}

// A peer that connects and sends nothing, one that sends a byte a second, and one that asks for
// reply after reply without reading any: the other clients keep their latency, which stays far
// below the five seconds that a server blocked on one of them would show.
TEST_F(ServerReliabilityTest, SilentTricklingAndNonReadingPeersLeaveOtherClientsTheirLatency) {
    constexpr int count = 100;
    const auto baseline = latencies(path(), count, "before-");
    ASSERT_EQ(baseline.size(), static_cast<std::size_t>(count));

    TestClient silent(path(), 5);
    TestClient trickling(path(), 5);
    TestClient nonReading(path(), 5);
    std::atomic<bool> running{true};
    std::thread trickle([&] {
        const std::string line = requestLine("trickle");
        for (std::size_t i = 0; running && i + 1 < line.size(); ++i) {
            trickling.send(line.substr(i, 1));
            for (int tick = 0; running && tick < 100; ++tick)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // Every line is answered (handled, or refused as busy), and the answers pile up unread until
    // the socket buffers are full and the server's writer for this peer waits.
    std::string burst;
    for (int i = 0; i < 4000; ++i) burst += requestLine("unread-" + std::to_string(i));
    nonReading.trySend(burst);
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 3; }));

    const auto during = latencies(path(), count, "during-");
    running = false;
    trickle.join();

    report("latency_p50_ms_alone", percentile(baseline, 0.5));
    report("latency_p99_ms_alone", percentile(baseline, 0.99));
    report("latency_p50_ms_with_bad_peers", percentile(during, 0.5));
    report("latency_p99_ms_with_bad_peers", percentile(during, 0.99));
    report("latency_max_ms_with_bad_peers", percentile(during, 1.0));

    ASSERT_EQ(during.size(), static_cast<std::size_t>(count)) << "a client lost its reply";
    EXPECT_LT(percentile(during, 1.0), 2000.0);
    EXPECT_LT(percentile(during, 0.5), 10 * percentile(baseline, 0.5) + 20.0);
    // The trickling peer has not finished a line: it was never answered nor dropped.
    EXPECT_EQ(server->statistics().malformedMessages, 0);
}

}  // namespace
}  // namespace recorder
