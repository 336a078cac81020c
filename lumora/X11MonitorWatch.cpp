#include "lumora/X11MonitorWatch.h"

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <xcb/xcb.h>

namespace lumora {

std::unique_ptr<X11MonitorWatch> X11MonitorWatch::start(std::unique_ptr<X11Monitors> monitors,
                                                        std::vector<CaptureDisplay> first) {
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0) return nullptr;
    try {
        return std::unique_ptr<X11MonitorWatch>(new X11MonitorWatch(std::move(monitors), std::move(first), stop));
    } catch (const std::system_error&) {
        ::close(stop);
        return nullptr;
    }
}

X11MonitorWatch::X11MonitorWatch(std::unique_ptr<X11Monitors> monitors, std::vector<CaptureDisplay> first, int stop)
    : monitors_(std::move(monitors)),
      stop_(stop),
      list_(std::make_shared<const std::vector<CaptureDisplay>>(std::move(first))) {
    monitors_->selectChanges();
    thread_ = std::thread([this] { run(); });
}

X11MonitorWatch::~X11MonitorWatch() {
    const std::uint64_t one = 1;
    while (::write(stop_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    ::close(stop_);
}

X11MonitorWatch::List X11MonitorWatch::list() const {
    std::lock_guard lock(mutex_);
    return list_;
}

void X11MonitorWatch::publish(List list) {
    std::lock_guard lock(mutex_);
    list_ = std::move(list);
}

void X11MonitorWatch::run() {
    xcb_connection_t* c = monitors_->connection();
    pollfd waits[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        // Events that xcb already holds (read along with a reply) would not wake poll().
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            changed = changed || monitors_->isChange(*event);
            std::free(event);
        }
        if (monitors_->broken()) return publish(nullptr);
        if (changed) {
            auto displays = monitors_->read();
            if (!displays) return publish(nullptr);
            // One change may bring several notices: readers keep their list while it stays the
            // same. Only this thread writes `list_`, so it reads it without the lock.
            if (*displays != *list_) publish(std::make_shared<const std::vector<CaptureDisplay>>(std::move(*displays)));
            continue;
        }
        if (::poll(waits, 2, -1) < 0 && errno != EINTR) return publish(nullptr);
        if (waits[1].revents != 0) return;
    }
}

}  // namespace lumora
