#include "Quillon/CallProgress.h"

#include <algorithm>
#include <cmath>

namespace quillon {

CallProgress::CallProgress(mcp::MCPRequestContext context, std::chrono::milliseconds interval)
    : context_(std::move(context)), interval_(interval), began_(std::chrono::steady_clock::now()) {}

CallProgress::~CallProgress() {
    if (heartbeat_.joinable()) {
        heartbeat_.request_stop();
        heartbeat_.join();
    }
}

std::chrono::milliseconds CallProgress::elapsed() const {
    // Whole milliseconds are enough for a host, and differences of them are exact: a 2 s wait
    // told from doubles (2.002 - 0.002) would read "waited 1 s".
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began_);
}

std::string CallProgress::message(const std::string& subject, const std::string& state, double waited,
                                  std::optional<double> limit) {
    std::string text = subject + ": " + state + " (waited " + std::to_string(static_cast<long long>(waited)) + " s";
    if (limit) text += " of " + std::to_string(static_cast<long long>(std::ceil(*limit))) + " s";
    return text + ")";
}

void CallProgress::update(const std::string& subject, const std::string& state, std::optional<double> limit) {
    if (!context_.wantsProgress()) return;
    std::lock_guard lock(mutex_);
    if (subject == subject_ && state == state_) return;
    if (subject != subject_) {
        waitBegan_ = elapsed();
        limit_ = limit;
    }
    subject_ = subject;
    state_ = state;
    report();
    if (!heartbeat_.joinable()) heartbeat_ = std::jthread([this](std::stop_token stop) { beat(std::move(stop)); });
}

void CallProgress::report() {
    const auto now = elapsed();
    const auto seconds = [](std::chrono::milliseconds span) { return static_cast<double>(span.count()) / 1000; };
    std::optional<double> total;
    if (limit_) total = seconds(waitBegan_) + *limit_;
    // The last poll of a wait may come a little after its end; progress never passes the total.
    double progress = total ? std::min(seconds(now), *total) : seconds(now);
    lastReport_ = std::chrono::steady_clock::now();
    const double waited = static_cast<double>((now - waitBegan_).count() / 1000);  // whole seconds, exactly
    context_.reportProgress({progress, total, message(subject_, state_, waited, limit_)});
}

void CallProgress::beat(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        // A report made meanwhile moves the next beat on.
        if (!wake_.wait_until(lock, stop, lastReport_ + interval_, [] { return false; }) && !stop.stop_requested() &&
            std::chrono::steady_clock::now() >= lastReport_ + interval_)
            report();
    }
}

}  // namespace quillon
