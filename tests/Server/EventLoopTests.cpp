// The server's event loop on its own: the order of its steps, timers, wake-ups from other
// threads, and descriptors forgotten (or their numbers reused) while events are pending.
#include "RecorderAutomation/Server/EventLoop.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace recorder {
namespace {

using namespace std::chrono_literals;

// A pipe whose read end can be made readable; both ends closed at the end unless taken.
struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0); }
    ~Pipe() {
        for (const int end : ends)
            if (end >= 0) ::close(end);
    }
    void fill() { ASSERT_EQ(::write(ends[1], "x", 1), 1); }
    int reader() const { return ends[0]; }

    int ends[2] = {-1, -1};
};

TEST(EventLoopTest, QueuedStepsGoFirstThenDueTimersThenReadyDescriptors) {
    EventLoop loop;
    std::vector<std::string> ran;
    Pipe pipe;
    pipe.fill();
    loop.watch(pipe.reader(), EPOLLIN, [&](std::uint32_t) { ran.push_back("ready"); });
    loop.after(0ms, [&] { ran.push_back("timer"); });
    loop.defer([&] { ran.push_back("queued"); });
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(loop.runOne());
    EXPECT_EQ(ran, (std::vector<std::string>{"queued", "timer", "ready"}));
}

struct TimerCase {
    const char* label;
    std::vector<int> delaysMs;
    int cancelled;  // index into delaysMs, or -1
    std::vector<int> expectedOrder;
};

class EventLoopTimerTest : public testing::TestWithParam<TimerCase> {};

TEST_P(EventLoopTimerTest, TimersRunInOrderOfDueTimeNoneEarlyAndACancelledOneNever) {
    const auto& param = GetParam();
    EventLoop loop;
    std::vector<int> ran;
    std::vector<EventLoop::Timer> timers;
    const auto started = EventLoop::Clock::now();
    std::vector<EventLoop::Clock::duration> ranAfter;
    for (std::size_t i = 0; i < param.delaysMs.size(); ++i)
        timers.push_back(loop.after(std::chrono::milliseconds(param.delaysMs[i]), [&, i] {
            ran.push_back(static_cast<int>(i));
            ranAfter.push_back(EventLoop::Clock::now() - started);
        }));
    if (param.cancelled >= 0) {
        loop.cancel(timers[static_cast<std::size_t>(param.cancelled)]);
        EXPECT_EQ(timers[static_cast<std::size_t>(param.cancelled)], EventLoop::Timer{});
    }
    for (std::size_t i = 0; i < param.expectedOrder.size(); ++i) ASSERT_TRUE(loop.runOne());
    EXPECT_EQ(ran, param.expectedOrder);
    for (std::size_t i = 0; i < ran.size(); ++i)
        EXPECT_GE(ranAfter[i], std::chrono::milliseconds(param.delaysMs[static_cast<std::size_t>(ran[i])]));
    // Nothing is left: a further step would have to wait for a wake-up.
    std::thread stopper([&] {
        std::this_thread::sleep_for(60ms);
        loop.stop();
    });
    EXPECT_FALSE(loop.runOne());
    stopper.join();
    EXPECT_EQ(ran, param.expectedOrder);
}

INSTANTIATE_TEST_SUITE_P(Timers, EventLoopTimerTest,
                         testing::Values(TimerCase{"out_of_order", {30, 10, 20}, -1, {1, 2, 0}},
                                         TimerCase{"one_cancelled", {30, 10, 20}, 2, {1, 0}},
                                         TimerCase{"same_due_time_in_order_of_setting", {15, 15}, -1, {0, 1}},
                                         TimerCase{"only_one_cancelled", {10}, 0, {}}),
                         [](const auto& info) { return std::string(info.param.label); });

struct WakeCase {
    const char* label;
    bool stop;
};

class EventLoopWakeTest : public testing::TestWithParam<WakeCase> {};

TEST_P(EventLoopWakeTest, AnotherThreadWakesALoopBlockedInItsWait) {
    EventLoop loop;
    bool ran = false;
    std::thread other([&] {
        std::this_thread::sleep_for(50ms);
        if (GetParam().stop)
            loop.stop();
        else
            loop.post([&] { ran = true; });
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.runOne(), !GetParam().stop);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    other.join();
    EXPECT_EQ(ran, !GetParam().stop);
    if (GetParam().stop) {
        loop.post([&] { ran = true; });
        EXPECT_FALSE(loop.runOne());  // stays stopped: queued steps no longer run
        EXPECT_FALSE(ran);
    }
}

INSTANTIATE_TEST_SUITE_P(Wake, EventLoopWakeTest, testing::Values(WakeCase{"post", false}, WakeCase{"stop", true}),
                         [](const auto& info) { return std::string(info.param.label); });

// Steps posted while the loop is busy running others (its queue emptying and filling again all
// the while) must all run: one lost between the check for queued steps and the wait would sit
// there until some other event came, here the deadline.
TEST(EventLoopTest, StepsPostedFromOtherThreadsWhileTheLoopRunsAreNeverStranded) {
    constexpr int perThread = 20000;
    constexpr int threads = 2;
    EventLoop loop;
    int ran = 0;
    int nested = 0;
    bool timedOut = false;
    auto deadline = loop.after(10s, [&] { timedOut = true; });
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < perThread; ++i)
                loop.post([&] {
                    ++ran;
                    // A step queued from a step: the queue is seldom empty for long.
                    if (ran % 7 == 0) loop.defer([&] { ++nested; });
                });
        });
    while ((ran < perThread * threads || nested < perThread * threads / 7) && !timedOut) loop.runOne();
    for (auto& poster : posters) poster.join();
    loop.cancel(deadline);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(ran, perThread * threads);
    EXPECT_EQ(nested, perThread * threads / 7);
}

TEST(EventLoopTest, AWatcherMayForgetItselfAndPendingEventsOfAReusedNumberReachNoOne) {
    EventLoop loop;
    Pipe first, second, quiet;
    first.fill();
    second.fill();
    int staleCalls = 0, newCalls = 0, firstCalls = 0;
    // Whichever is reported first forgets both descriptors (itself included) while the other's
    // event still waits, and puts a quiet pipe under the other's number.
    const auto replaceBoth = [&](Pipe& self, Pipe& other, std::string note) {
        return [&, note](std::uint32_t) {
            if (firstCalls++ > 0) {
                ++staleCalls;
                return;
            }
            loop.forget(self.reader());
            ::close(self.ends[0]);  // forgetting is followed by closing
            self.ends[0] = -1;
            loop.forget(other.reader());
            const int number = other.reader();
            ASSERT_EQ(::dup2(quiet.reader(), number), number);
            loop.watch(number, EPOLLIN, [&](std::uint32_t) { ++newCalls; });
            // The watcher's own captures are still sound after it forgot itself.
            EXPECT_EQ(note, "watcher");
        };
    };
    loop.watch(first.reader(), EPOLLIN, replaceBoth(first, second, "watcher"));
    loop.watch(second.reader(), EPOLLIN, replaceBoth(second, first, "watcher"));
    ASSERT_TRUE(loop.runOne());
    bool timerRan = false;
    loop.after(30ms, [&] { timerRan = true; });
    ASSERT_TRUE(loop.runOne());
    EXPECT_TRUE(timerRan);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(staleCalls, 0);
    EXPECT_EQ(newCalls, 0);
}

TEST(EventLoopTest, AReadyDescriptorIsReportedAgainUntilDrained) {
    EventLoop loop;
    Pipe pipe;
    pipe.fill();
    pipe.fill();
    int calls = 0;
    loop.watch(pipe.reader(), EPOLLIN, [&](std::uint32_t events) {
        EXPECT_TRUE(events & EPOLLIN);
        char byte;
        ASSERT_EQ(::read(pipe.reader(), &byte, 1), 1);  // one of the two bytes per step
        ++calls;
    });
    ASSERT_TRUE(loop.runOne());
    ASSERT_TRUE(loop.runOne());
    EXPECT_EQ(calls, 2);
    // Drained: the next step is the timer, not the descriptor again.
    bool timerRan = false;
    loop.after(20ms, [&] { timerRan = true; });
    ASSERT_TRUE(loop.runOne());
    EXPECT_TRUE(timerRan);
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace recorder
