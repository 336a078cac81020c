#include "QuillonServer/TaskPool.h"

namespace mcp {

TaskPool::TaskPool(std::size_t maximumIdle, std::chrono::milliseconds idleLifetime)
    : maximumIdle_(maximumIdle), idleLifetime_(idleLifetime) {}

TaskPool::~TaskPool() {
    waitIdle();
    std::list<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (auto& worker : workers) worker.thread.join();
}

void TaskPool::submit(std::function<void()> job) {
    std::unique_lock lock(mutex_);
    joinRetired(lock);
    jobs_.push_back(std::move(job));
    // More queued jobs than idle threads to take them: one more thread, so that nothing waits.
    if (jobs_.size() > idle_) {
        workers_.emplace_back();
        auto self = std::prev(workers_.end());
        self->thread = std::thread([this, self] { work(self); });
        return;
    }
    lock.unlock();  // the woken thread need not wait for this one to let go
    wake_.notify_one();
}

void TaskPool::waitIdle() {
    std::unique_lock lock(mutex_);
    quiet_.wait(lock, [&] { return jobs_.empty() && busy_ == 0; });
}

std::size_t TaskPool::threadCount() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& worker : workers_) count += worker.retired ? 0 : 1;
    return count;
}

void TaskPool::joinRetired(std::unique_lock<std::mutex>&) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->retired) {
            // A retired thread only has its return left to run; it takes no lock any more.
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void TaskPool::work(std::list<Worker>::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        bool woken = wake_.wait_for(lock, idleLifetime_, [&] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty()) {
            if (stopping_) return;
            if (!woken) break;
            continue;
        }
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        ++busy_;
        lock.unlock();
        job();
        job = nullptr;  // release what the job captured before reporting quiet
        lock.lock();
        --busy_;
        if (busy_ == 0 && jobs_.empty()) quiet_.notify_all();
        if (idle_ >= maximumIdle_ && jobs_.empty()) break;
    }
    self->retired = true;
}

}  // namespace mcp
