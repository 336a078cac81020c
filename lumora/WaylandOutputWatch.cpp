#include "lumora/WaylandOutputWatch.h"

#include <cerrno>
#include <chrono>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

#include "lumora/WaylandOutputConnection.h"

namespace lumora {

namespace {

int newEventDescriptor() {
    const int fd = ::eventfd(0, EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    return fd;
}

}  // namespace

WaylandOutputWatch::WaylandOutputWatch(std::filesystem::path socket)
    : socket_(std::move(socket)), stop_(newEventDescriptor()) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        ::close(stop_);
        throw;
    }
}

WaylandOutputWatch::~WaylandOutputWatch() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
}

WaylandOutputWatch::DisplayList WaylandOutputWatch::displays() const {
    std::lock_guard lock(mutex_);
    return displays_;
}

bool WaylandOutputWatch::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void WaylandOutputWatch::run() {
    WaylandOutputConnection connection(socket_);
    while (connection.connected()) {
        const auto waited = connection.wait(std::chrono::milliseconds(-1), stop_);
        if (waited == WaylandOutputConnection::Wait::interrupted || waited == WaylandOutputConnection::Wait::broken)
            break;
        if (!connection.takeChange()) continue;
        auto list = WaylandOutputs::toDisplays(connection.outputs());
        std::lock_guard lock(mutex_);
        // Events that change nothing shown (the same mode sent again) keep the list.
        if (!displays_ || *displays_ != list)
            displays_ = std::make_shared<const std::vector<CaptureDisplay>>(std::move(list));
    }
    std::lock_guard lock(mutex_);
    displays_.reset();
    ended_ = true;
}

}  // namespace lumora
