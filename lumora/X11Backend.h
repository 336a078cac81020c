#pragma once
// Records an X display with x11grab. Each monitor that RandR lists is a display (the primary
// one first); without RandR 1.5 or monitors the whole screen is one display. The list is kept
// current by an X11MonitorWatch, so that asking for it costs no round trip to the server.

#include <chrono>
#include <memory>
#include <mutex>

#include "lumora/FfmpegBackend.h"
#include "lumora/X11MonitorWatch.h"

namespace lumora {

class X11Backend : public FfmpegBackend {
public:
    // `display` is an X display name such as ":0"; empty means $DISPLAY.
    explicit X11Backend(std::string display);
    ~X11Backend() override;  // ends the watch's thread

    std::string name() const override { return "x11"; }

    std::vector<CaptureDisplay> displays() override;
    // The watched list. Without a watch (no server yet, or its connection broke) the server is
    // asked once over a new connection, which then becomes the watch; a server that cannot be
    // reached is tried again no sooner than `retryInterval` later, and has no displays until then.
    std::shared_ptr<const std::vector<CaptureDisplay>> displayList() override;
    bool systemAudioSupported() const override { return false; }

    const std::string& displayName() const { return display_; }

    static constexpr std::chrono::milliseconds retryInterval{1000};

protected:
    Inputs inputs(const CaptureRequest& request) const override;

private:
    std::string display_;
    const std::shared_ptr<const std::vector<CaptureDisplay>> none_;
    std::mutex mutex_;  // guards what follows: requests may ask from several threads
    std::unique_ptr<X11MonitorWatch> watch_;
    std::chrono::steady_clock::time_point nextAttempt_{};
};

}  // namespace lumora
