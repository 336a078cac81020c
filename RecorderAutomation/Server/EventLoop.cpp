#include "RecorderAutomation/Server/EventLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

namespace recorder {

namespace {

// The epoll data of the wake-up descriptor; watched descriptors carry generation and number.
constexpr std::uint64_t wakeUpMark = ~std::uint64_t{0};

std::uint64_t mark(int fd, std::uint32_t generation) {
    return (std::uint64_t{generation} << 32) | static_cast<std::uint32_t>(fd);
}

[[noreturn]] void fail(const char* call) { throw std::system_error(errno, std::generic_category(), call); }

}  // namespace

EventLoop::EventLoop() {
    poller_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (poller_ < 0) fail("epoll_create1");
    wakeUp_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeUp_ < 0) {
        const int error = errno;
        ::close(poller_);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = wakeUpMark;
    if (::epoll_ctl(poller_, EPOLL_CTL_ADD, wakeUp_, &event) < 0) {
        const int error = errno;
        ::close(wakeUp_);
        ::close(poller_);
        throw std::system_error(error, std::generic_category(), "epoll_ctl");
    }
}

EventLoop::~EventLoop() {
    ::close(wakeUp_);
    ::close(poller_);
}

void EventLoop::watch(int fd, std::uint32_t events, Watcher watcher) {
    const std::uint32_t generation = ++generation_;
    epoll_event event{};
    event.events = events;
    event.data.u64 = mark(fd, generation);
    if (::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &event) < 0) fail("epoll_ctl");
    watched_.insert_or_assign(fd, std::make_unique<Entry>(Entry{generation, std::move(watcher)}));
}

void EventLoop::change(int fd, std::uint32_t events) {
    const auto entry = watched_.find(fd);
    if (entry == watched_.end()) return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = mark(fd, entry->second->generation);
    ::epoll_ctl(poller_, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::forget(int fd) {
    const auto entry = watched_.find(fd);
    if (entry == watched_.end()) return;
    // The watcher may be the one running just now.
    retired_.push_back(std::move(entry->second));
    watched_.erase(entry);
}

EventLoop::Timer EventLoop::after(Clock::duration delay, Step step) {
    const Timer timer{Clock::now() + delay, ++timerCount_};
    timers_.emplace(timer, std::move(step));
    return timer;
}

void EventLoop::cancel(Timer& timer) {
    if (timer.second != 0) timers_.erase(timer);
    timer = {};
}

void EventLoop::defer(Step step) {
    std::lock_guard lock(queueLock_);
    queue_.push_back(std::move(step));
    queued_.store(true, std::memory_order_release);
}

void EventLoop::post(Step step) {
    defer(std::move(step));
    const std::uint64_t one = 1;
    // Cannot fail short of the counter's overflow, which a drain between waits rules out.
    [[maybe_unused]] const auto written = ::write(wakeUp_, &one, sizeof one);
}

void EventLoop::stop() {
    stopped_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeUp_, &one, sizeof one);
}

bool EventLoop::runOne() {
    retired_.clear();
    while (!stopped_) {
        if (runQueued() || runDueTimer() || runReady()) return true;
        wait();
    }
    return false;
}

bool EventLoop::runQueued() {
    // A step posted just after this check is not lost: its wake-up ends the next wait.
    if (!queued_.load(std::memory_order_acquire)) return false;
    Step step;
    {
        std::lock_guard lock(queueLock_);
        if (queue_.empty()) return false;
        step = std::move(queue_.front());
        queue_.pop_front();
        if (queue_.empty()) queued_.store(false, std::memory_order_relaxed);
    }
    step();
    return true;
}

bool EventLoop::runDueTimer() {
    if (timers_.empty() || timers_.begin()->first.first > Clock::now()) return false;
    auto due = timers_.extract(timers_.begin());
    due.mapped()();
    return true;
}

bool EventLoop::runReady() {
    while (readyNext_ < readyCount_) {
        const epoll_event event = ready_[static_cast<std::size_t>(readyNext_++)];
        if (event.data.u64 == wakeUpMark) {
            std::uint64_t count;
            [[maybe_unused]] const auto drained = ::read(wakeUp_, &count, sizeof count);
            // The wake-up of a step posted after this turn's look at the queue may just have
            // been drained: look again, or the step would wait for some other event.
            if (runQueued()) return true;
            continue;
        }
        const int fd = static_cast<int>(static_cast<std::uint32_t>(event.data.u64));
        const auto entry = watched_.find(fd);
        // Forgotten since the wait, perhaps with its number reused: level-triggered, a
        // descriptor that is still ready is reported again by the next wait.
        if (entry == watched_.end() || entry->second->generation != static_cast<std::uint32_t>(event.data.u64 >> 32))
            continue;
        Entry& watching = *entry->second;
        watching.watcher(event.events);
        return true;
    }
    return false;
}

void EventLoop::wait() {
    int timeout = -1;
    if (!timers_.empty()) {
        const auto left = timers_.begin()->first.first - Clock::now();
        // Rounded up: a wait that ends just before the timer is due would spin.
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        timeout = static_cast<int>(std::clamp<decltype(milliseconds)>(milliseconds, 0, INT_MAX));
    }
    readyNext_ = 0;
    readyCount_ = ::epoll_wait(poller_, ready_.data(), static_cast<int>(ready_.size()), timeout);
    if (readyCount_ < 0) readyCount_ = 0;  // interrupted by a signal: the caller asks again
}

}  // namespace recorder
