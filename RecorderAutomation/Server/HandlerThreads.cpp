#include "RecorderAutomation/Server/HandlerThreads.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace recorder {

namespace {

// An idle thread that has been quiet this long ends; an app that is not driven keeps none.
constexpr auto idleLifetime = std::chrono::seconds(30);
constexpr char threadName[] = "rec.auto.handle";

struct Worker {
    std::condition_variable wake;
    std::function<void()> job;
};

// Process-wide and never destroyed: a handler still running at exit must not find it gone,
// and a thread never joins itself.
struct Registry {
    std::mutex mutex;
    std::vector<Worker*> idle;
};

Registry& registry() {
    static auto* instance = new Registry;
    return *instance;
}

void workerLoop(std::function<void()> job) {
    pthread_setname_np(pthread_self(), threadName);
    Registry& shared = registry();
    Worker self;
    while (true) {
        job();
        job = nullptr;
        std::unique_lock lock(shared.mutex);
        if (shared.idle.size() >= static_cast<std::size_t>(HandlerThreads::maximumIdle)) return;
        shared.idle.push_back(&self);
        if (!self.wake.wait_for(lock, idleLifetime, [&] { return self.job != nullptr; })) {
            // Still listed as idle (a job would have taken it off): leave the list and end.
            std::erase(shared.idle, &self);
            return;
        }
        job = std::move(self.job);
        self.job = nullptr;
    }
}

}  // namespace

void HandlerThreads::run(std::function<void()> job) {
    Registry& shared = registry();
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.idle.empty()) {
            Worker* worker = shared.idle.back();
            shared.idle.pop_back();
            worker->job = std::move(job);
            worker->wake.notify_one();
            return;
        }
    }
    std::thread(workerLoop, std::move(job)).detach();
}

}  // namespace recorder
