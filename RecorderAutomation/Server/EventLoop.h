#pragma once
// The socket server's event loop: descriptors watched through epoll (level-triggered), steps
// queued from any thread, and one-shot timers. It makes no system call the server does not
// need: no re-arming after each wait, no removal before a close, no poll between queued steps.
//
// One thread at a time runs it (the caller sees to that, and to the hand-over between threads
// being ordered, e.g. by a mutex); everything but post() and stop() belongs to that thread.

#include <sys/epoll.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace recorder {

class EventLoop {
public:
    using Step = std::function<void()>;
    // Called with the ready events (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR) of one descriptor.
    using Watcher = std::function<void(std::uint32_t events)>;
    using Clock = std::chrono::steady_clock;
    // Names a pending timer; empty once it has run or been cancelled.
    using Timer = std::pair<Clock::time_point, std::uint64_t>;

    // Throws std::system_error ("epoll_create1", "eventfd", "epoll_ctl").
    EventLoop();
    ~EventLoop();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Watches `fd` for `events` until forget(). Throws std::system_error ("epoll_ctl").
    void watch(int fd, std::uint32_t events, Watcher watcher);
    // Changes the events watched; cannot fail for a descriptor being watched.
    void change(int fd, std::uint32_t events);
    // Stops calling the watcher of `fd`, without a system call: the caller closes `fd` next,
    // and closing takes it out of the epoll set (the server never duplicates its descriptors).
    void forget(int fd);

    // Runs `step` once `delay` has passed.
    Timer after(Clock::duration delay, Step step);
    void cancel(Timer& timer);

    // Queues `step` behind the queued ones, from the loop's own thread (no wake-up needed).
    void defer(Step step);
    // The same from any thread: wakes the loop.
    void post(Step step);
    // From any thread: runOne() returns false from now on.
    void stop();

    // Runs one step: a queued step, else a timer that is due, else the watcher of one ready
    // descriptor, waiting for one if none is ready. False once stopped.
    bool runOne();

private:
    struct Entry {
        std::uint32_t generation;
        Watcher watcher;
    };

    bool runQueued();
    bool runDueTimer();
    bool runReady();
    void wait();

    int poller_ = -1;
    int wakeUp_ = -1;
    std::atomic<bool> stopped_ = false;

    std::mutex queueLock_;
    std::deque<Step> queue_;
    // Whether `queue_` may hold a step, read without the lock: most steps find it empty.
    std::atomic<bool> queued_ = false;

    // Keyed by descriptor; the generation tells a later descriptor of the same number from the
    // one an event still waiting in `ready_` was reported for.
    std::unordered_map<int, std::unique_ptr<Entry>> watched_;
    // Forgotten while perhaps running; released at the next step.
    std::vector<std::unique_ptr<Entry>> retired_;
    std::uint32_t generation_ = 0;

    std::map<Timer, Step> timers_;
    std::uint64_t timerCount_ = 0;

    std::array<epoll_event, 32> ready_{};
    int readyCount_ = 0;
    int readyNext_ = 0;
};

}  // namespace recorder
