#include "lumora/X11Backend.h"

#include <cstdlib>

namespace lumora {

X11Backend::X11Backend(std::string display)
    : display_(std::move(display)), none_(std::make_shared<const std::vector<CaptureDisplay>>()) {
    if (display_.empty()) {
        const char* env = std::getenv("DISPLAY");
        display_ = env ? env : "";
    }
}

X11Backend::~X11Backend() = default;

std::vector<CaptureDisplay> X11Backend::displays() { return *displayList(); }

std::shared_ptr<const std::vector<CaptureDisplay>> X11Backend::displayList() {
    std::lock_guard lock(mutex_);
    if (watch_) {
        if (auto list = watch_->list()) return list;
        watch_.reset();  // its connection broke
    }
    const auto now = std::chrono::steady_clock::now();
    if (display_.empty() || now < nextAttempt_) return none_;
    auto monitors = X11Monitors::connect(display_);
    auto displays = monitors ? monitors->read() : std::nullopt;
    if (!displays) {
        nextAttempt_ = now + retryInterval;
        return none_;
    }
    auto list = std::make_shared<const std::vector<CaptureDisplay>>(*displays);
    watch_ = X11MonitorWatch::start(std::move(monitors), std::move(*displays));
    // Out of descriptors or threads: this answer stands, and the next request asks again.
    return watch_ ? watch_->list() : list;
}

FfmpegBackend::Inputs X11Backend::inputs(const CaptureRequest& request) const {
    const auto& d = request.display;
    // A display number that no X server has makes x11grab fail for real when a failing start is
    // simulated.
    std::string target = request.failure == CaptureFailureMode::start ? std::string(":65534") : display_;
    target += '+' + std::to_string(d.originX) + ',' + std::to_string(d.originY);
    Inputs in;
    in.arguments = {
        "-f",          "x11grab", "-framerate",  std::to_string(request.frameRate),
        "-draw_mouse", "1",       "-video_size", std::to_string(d.pixelWidth) + "x" + std::to_string(d.pixelHeight),
        "-i",          target};
    return in;
}

}  // namespace lumora
