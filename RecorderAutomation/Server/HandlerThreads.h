#pragma once
// The threads on which request handlers run. A handler may block (the app's handler waits for
// its capture to start or stop), so a job never waits behind another: an idle thread takes it,
// or a new one is started. A few idle threads are kept for the next exchanges.

#include <functional>

namespace recorder {

class HandlerThreads {
public:
    // Runs `job` on an idle handler thread, or on a new one when none is idle. Never blocks
    // on other jobs; `job` must not throw.
    static void run(std::function<void()> job);

    // Idle threads kept for reuse; the rest end after their job.
    static constexpr int maximumIdle = 8;
};

}  // namespace recorder
