#pragma once
// The one shared pool on which blocking work runs (socket exchanges, handler calls, reply
// writes), so that no caller's thread blocks in poll/read/write itself.

#include <asio/thread_pool.hpp>

namespace recorder {

class BackgroundQueue {
public:
    // The process-wide pool; created on first use, joined at process exit.
    static asio::thread_pool& shared();
};

}  // namespace recorder
