#include "RecorderAutomation/Client/CancellableSleep.h"

#include <condition_variable>
#include <mutex>

#include "RecorderAutomation/Support/Failure.h"

namespace recorder {

void cancellableSleep(std::chrono::duration<double> seconds, std::stop_token stop) {
    if (stop.stop_requested()) throw CancellationError();
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds);
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    // Nothing but a stop request notifies; the predicate rules out spurious wake-ups.
    wakeUp.wait_until(lock, stop, until, [] { return false; });
    if (stop.stop_requested()) throw CancellationError();
}

}  // namespace recorder
