#pragma once
// Progress for the host while a tool call waits, so that a long wait (a launch, a recording's end)
// is never silent.

#include "QuillonServer/MCPRequestContext.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace quillon {

// Keeps the host of one tool call informed while the call waits, for Lumora to start or for a
// recording to finish: a report at once when what it waits for changes state, and a heartbeat
// meanwhile from a thread of its own, so that a poll held up in a slow exchange does not
// silence the call. Reports progress as the seconds since the call began, the wait's end as
// the total when its length is known, and a short message with the state and the time waited.
// Starts no thread and reports nothing when the host asked for no progress.
class CallProgress {
public:
    // The longest time between two reports while a wait goes on: below the promised 5 s, with
    // room for a loaded machine.
    static constexpr std::chrono::milliseconds heartbeat{4000};

    explicit CallProgress(mcp::MCPRequestContext context, std::chrono::milliseconds interval = heartbeat);
    ~CallProgress();  // ends the heartbeat: nothing is reported afterwards
    CallProgress(const CallProgress&) = delete;
    CallProgress& operator=(const CallProgress&) = delete;

    // A wait began, or its state changed. `subject` names what is waited for ("Lumora",
    // "Recording"); a new subject starts a new wait, of `limit` seconds when that is known.
    // Reports at once when subject or state differ from the last ones.
    void update(const std::string& subject, const std::string& state, std::optional<double> limit);

    // "Recording: stopping (waited 12 s of 75 s)".
    static std::string message(const std::string& subject, const std::string& state, double waited,
                               std::optional<double> limit);

private:
    void report();  // mutex_ held
    void beat(std::stop_token stop);
    std::chrono::milliseconds elapsed() const;  // since the call began

    const mcp::MCPRequestContext context_;
    const std::chrono::milliseconds interval_;
    const std::chrono::steady_clock::time_point began_;
    std::mutex mutex_;  // guards everything below but the thread
    std::condition_variable_any wake_;
    std::string subject_, state_;
    std::chrono::milliseconds waitBegan_{0};  // since the call began
    std::optional<double> limit_;  // of the current wait
    std::chrono::steady_clock::time_point lastReport_;
    std::jthread heartbeat_;  // last: stopped and joined first
};

}  // namespace quillon
