#include "QuillonServer/TaskPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <latch>

using namespace std::chrono_literals;

namespace {

TEST(TaskPool, NoJobWaitsBehindABlockedOne) {
    mcp::TaskPool pool(2);
    std::latch blockers(1);
    std::atomic<int> ran{0};
    for (int i = 0; i < 3; ++i) pool.submit([&] { blockers.wait(); });
    std::latch quick(1);
    pool.submit([&] {
        ++ran;
        quick.count_down();
    });
    // Would hang if the quick job had been queued behind the blocked ones.
    quick.wait();
    EXPECT_EQ(ran, 1);
    blockers.count_down();
    pool.waitIdle();
}

TEST(TaskPool, ReusesIdleThreadsAndRetiresSurplus) {
    mcp::TaskPool pool(2, 100ms);
    for (int i = 0; i < 50; ++i) {
        std::latch done(1);
        pool.submit([&] { done.count_down(); });
        done.wait();
        pool.waitIdle();
    }
    EXPECT_LE(pool.threadCount(), 2u);

    std::latch release(1);
    for (int i = 0; i < 8; ++i) pool.submit([&] { release.wait(); });
    EXPECT_GE(pool.threadCount(), 8u);
    release.count_down();
    pool.waitIdle();
    // Surplus threads end when their job does.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (pool.threadCount() > 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        pool.submit([] {});  // joins whatever has retired meanwhile
        pool.waitIdle();
    }
    EXPECT_LE(pool.threadCount(), 2u);
}

TEST(TaskPool, DestructionWaitsForEveryJob) {
    std::atomic<int> finished{0};
    {
        mcp::TaskPool pool;
        for (int i = 0; i < 10; ++i)
            pool.submit([&] {
                std::this_thread::sleep_for(10ms);
                ++finished;
            });
    }
    EXPECT_EQ(finished, 10);
}

}  // namespace
