#pragma once
// The part of every ffmpeg-based back end that does not depend on the source: H.264 in MP4,
// the size fitted to 1920x1080 at most, at most 30 frames per second, progress on a pipe.

#include "lumora/CaptureBackend.h"
#include "lumora/FfmpegCapture.h"

namespace lumora {

class FfmpegBackend : public CaptureBackend {
public:
    std::unique_ptr<CaptureHandle> start(const CaptureRequest& request, CaptureObserver observer) override;

    // The whole ffmpeg command line for a request (without the program name).
    std::vector<std::string> arguments(const CaptureRequest& request) const;

    void setTiming(FfmpegCapture::Timing timing) { timing_ = timing; }

protected:
    struct Inputs {
        std::vector<std::string> arguments;  // ffmpeg input options; input 0 is video
        bool hasAudio = false;               // input 1 is audio
    };
    virtual Inputs inputs(const CaptureRequest& request) const = 0;

private:
    FfmpegCapture::Timing timing_;
};

}  // namespace lumora
