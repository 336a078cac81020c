#pragma once
// One capture made by an ffmpeg child process: it watches ffmpeg's progress reports (capture
// is "recording" once frames are written), stops it so that the file is finalised ("q" on its
// input, then SIGINT, then SIGKILL, each after a bounded wait), and measures the result.

#include <chrono>
#include <string>
#include <vector>

#include "lumora/CaptureBackend.h"
#include "lumora/CaptureThread.h"

namespace lumora {

class FfmpegCapture final : public CaptureHandle {
public:
    struct Timing {
        std::chrono::milliseconds quitWait{5000};       // after "q", before SIGINT
        std::chrono::milliseconds interruptWait{3000};  // after SIGINT, before SIGKILL
        std::chrono::milliseconds crashAfter{600};      // CaptureFailureMode::during
        std::chrono::milliseconds limitGrace{5000};     // past the duration limit before Lumora stops it
    };

    // `arguments` are ffmpeg's, output file last. The capture runs on a thread of its own.
    FfmpegCapture(std::vector<std::string> arguments, CaptureRequest request, CaptureObserver observer, Timing timing);
    FfmpegCapture(std::vector<std::string> arguments, CaptureRequest request, CaptureObserver observer)
        : FfmpegCapture(std::move(arguments), std::move(request), std::move(observer), Timing{}) {}

    void stop() override { thread_.stop(); }

private:
    void run();

    std::vector<std::string> arguments_;
    CaptureRequest request_;
    Timing timing_;
    CaptureThread thread_;  // last: joined before the members above go
};

}  // namespace lumora
