#pragma once
// The threads requests run on: one per job at once, reused when idle.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace mcp {

// Runs every submitted job at once on a thread of its own, reusing idle threads: a job never
// waits behind another (a long tool call must not hold back a ping), yet a steady stream of short
// requests does not pay for a new thread each time. Threads beyond `maximumIdle`, and threads idle
// for longer than `idleLifetime`, end and are joined, so finished threads do not accumulate.
class TaskPool {
public:
    explicit TaskPool(std::size_t maximumIdle = 4, std::chrono::milliseconds idleLifetime = std::chrono::seconds(30));
    ~TaskPool();  // waits for every job, then joins every thread
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    void submit(std::function<void()> job);
    // Blocks until no job is queued or running.
    void waitIdle();

    std::size_t threadCount() const;

private:
    struct Worker {
        std::thread thread;
        bool retired = false;
    };
    void work(std::list<Worker>::iterator self);
    void joinRetired(std::unique_lock<std::mutex>& lock);

    const std::size_t maximumIdle_;
    const std::chrono::milliseconds idleLifetime_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable quiet_;
    std::deque<std::function<void()>> jobs_;
    std::list<Worker> workers_;
    std::size_t idle_ = 0;
    std::size_t busy_ = 0;
    bool stopping_ = false;
};

}  // namespace mcp
