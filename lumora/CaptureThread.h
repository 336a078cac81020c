#pragma once
// The thread a capture runs on and the observer it reports to, so that every capture has the same
// lifetime: started once it is built, stopped and joined on destruction, and safe to release
// from its own finishing callback.

#include <atomic>
#include <functional>
#include <thread>

#include "lumora/CaptureBackend.h"

namespace lumora {

class CaptureThread {
public:
    explicit CaptureThread(CaptureObserver observer) : observer_(std::move(observer)) {}
    // Asks for the stop and waits for the thread; from the thread itself (the observer released
    // its capture while being told of the end) the thread is let go instead.
    ~CaptureThread();
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    // Runs `body` on the thread. Called once, by the owning capture when everything `body` uses
    // is built: declared last among the owner's members, this is also the first one destroyed,
    // so the owner's other members outlive the thread.
    void start(std::function<void()> body);

    void stop() { stopRequested_ = true; }
    const std::atomic<bool>& stopRequested() const { return stopRequested_; }

    // Frames are being written.
    void recordingStarted() const {
        if (observer_.didStartRecording) observer_.didStartRecording();
    }
    // The end, reported once. The thread's last act: the observer may destroy the capture, and
    // this with it, from inside the call.
    void finish(CaptureOutcome outcome, CaptureEnd end) {
        auto callback = std::move(observer_.didFinish);
        if (callback) callback(std::move(outcome), end);
    }

private:
    CaptureObserver observer_;
    std::atomic<bool> stopRequested_{false};
    std::thread thread_;
};

}  // namespace lumora
