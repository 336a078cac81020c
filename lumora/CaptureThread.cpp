#include "lumora/CaptureThread.h"

#include <future>

namespace lumora {

void CaptureThread::start(std::function<void()> body) {
    // The body waits until `thread_` holds it: a body that ends at once may release this
    // object from its finishing callback, whose destructor then reads `thread_`. Nothing here
    // touches this object after the hand-over.
    std::promise<void> assigned;
    thread_ = std::thread([body = std::move(body), ready = assigned.get_future()]() mutable {
        ready.wait();
        body();
    });
    assigned.set_value();
}

CaptureThread::~CaptureThread() {
    stop();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace lumora
