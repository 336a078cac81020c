#pragma once
// A sleep on the monotonic clock that a stop request ends at once.

#include <chrono>
#include <stop_token>

namespace recorder {

// Sleeps for `seconds`; throws CancellationError as soon as `stop` is requested (also when it
// already was).
void cancellableSleep(std::chrono::duration<double> seconds, std::stop_token stop);

}  // namespace recorder
