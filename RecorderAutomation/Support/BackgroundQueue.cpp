#include "RecorderAutomation/Support/BackgroundQueue.h"

#include <algorithm>
#include <thread>

namespace recorder {

asio::thread_pool& BackgroundQueue::shared() {
    // Blocking exchanges spend their time waiting, not computing: size for concurrency
    // (eight connections at once plus their handlers), not for cores. Never destroyed, so
    // that process exit does not wait for an exchange still inside its time-out.
    static auto* pool = new asio::thread_pool(std::max(16u, std::thread::hardware_concurrency() * 2));
    return *pool;
}

}  // namespace recorder
