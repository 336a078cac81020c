#include "lumora/CaptureThread.h"

namespace lumora {

CaptureThread::~CaptureThread() {
    stop();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace lumora
