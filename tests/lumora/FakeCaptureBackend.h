#pragma once
// A capture back end without ffmpeg, for tests of the handler's bookkeeping: the test decides
// when a capture begins recording and how it ends.

#include "lumora/CaptureBackend.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace testsupport {

class FakeCapture : public lumora::CaptureHandle {
public:
    FakeCapture(lumora::CaptureRequest request, lumora::CaptureObserver observer)
        : request(std::move(request)), observer_(std::move(observer)) {}
    void stop() override {
        std::lock_guard lock(mutex_);
        ++stops;
    }
    void beginRecording() { observer_.didStartRecording(); }
    void end(lumora::CaptureOutcome outcome, lumora::CaptureEnd how) {
        auto finish = std::move(observer_.didFinish);
        finish(std::move(outcome), how);
    }
    void endSaved(lumora::CaptureEnd how = lumora::CaptureEnd::stopRequested, double seconds = 1.5) {
        end(lumora::SavedMedia{request.outputPath, seconds, request.outputWidth, request.outputHeight, 4096}, how);
    }
    int stopCount() {
        std::lock_guard lock(mutex_);
        return stops;
    }

    const lumora::CaptureRequest request;

private:
    std::mutex mutex_;
    int stops = 0;
    lumora::CaptureObserver observer_;
};

class FakeCaptureBackend : public lumora::CaptureBackend {
public:
    std::vector<lumora::CaptureDisplay> list{{"1", "Fake One", 1280, 720, 1.0, true, 0, 0},
                                             {"2", "Fake Retina", 2560, 1440, 2.0, false, 0, 0}};
    bool audio = true;
    std::vector<std::string> consentNeededFor;  // displays whose start the desktop would ask about

    std::string name() const override { return "fake"; }
    bool startNeedsConsent(const lumora::CaptureDisplay& d) const override {
        return std::find(consentNeededFor.begin(), consentNeededFor.end(), d.id) != consentNeededFor.end();
    }
    std::vector<lumora::CaptureDisplay> displays() override { return list; }
    bool systemAudioSupported() const override { return audio; }
    std::unique_ptr<lumora::CaptureHandle> start(const lumora::CaptureRequest& request,
                                                 lumora::CaptureObserver observer) override {
        auto capture = std::make_unique<Forwarder>(std::make_shared<FakeCapture>(request, std::move(observer)));
        std::lock_guard lock(mutex_);
        captures_.push_back(capture->target);
        return capture;
    }
    std::shared_ptr<FakeCapture> last() {
        std::lock_guard lock(mutex_);
        return captures_.empty() ? nullptr : captures_.back();
    }
    std::size_t started() {
        std::lock_guard lock(mutex_);
        return captures_.size();
    }

private:
    // The recorder owns the handle; the test keeps the capture itself to drive it.
    struct Forwarder : lumora::CaptureHandle {
        explicit Forwarder(std::shared_ptr<FakeCapture> t) : target(std::move(t)) {}
        void stop() override { target->stop(); }
        std::shared_ptr<FakeCapture> target;
    };
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeCapture>> captures_;
};

}  // namespace testsupport
