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

double CallProgress::elapsed() const {
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - began_;
    return std::round(seconds.count() * 1000) / 1000;  // milliseconds are enough for a host
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
    double now = elapsed();
    std::optional<double> total;
    if (limit_) total = waitBegan_ + *limit_;
    // The last poll of a wait may come a little after its end; progress never passes the total.
    double progress = total ? std::min(now, *total) : now;
    lastReport_ = std::chrono::steady_clock::now();
    context_.reportProgress({progress, total, message(subject_, state_, now - waitBegan_, limit_)});
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
