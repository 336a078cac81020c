#include "lumora/FfmpegBackend.h"

#include <algorithm>

namespace lumora {

std::vector<std::string> FfmpegBackend::arguments(const CaptureRequest& request) const {
    const auto in = inputs(request);
    const auto rate = std::to_string(std::clamp<std::int64_t>(request.frameRate, 1, maximumFrameRate));
    auto size = fittedOutputSize(request.outputWidth > 0 ? request.outputWidth : request.display.pixelWidth,
                                 request.outputHeight > 0 ? request.outputHeight : request.display.pixelHeight);
    std::vector<std::string> args{"-hide_banner", "-loglevel", "error",         "-nostats",
                                  "-progress",    "pipe:1",    "-stats_period", "0.2"};
    args.insert(args.end(), in.arguments.begin(), in.arguments.end());
    args.insert(args.end(), {"-map", "0:v"});
    if (in.hasAudio) args.insert(args.end(), {"-map", "1:a"});
    // With the simulated finalisation failure Lumora ends the capture itself (and breaks it).
    if (request.failure != CaptureFailureMode::finalize)
        args.insert(args.end(), {"-t", std::to_string(request.durationLimitSeconds)});
    args.insert(args.end(),
                {"-vf", "scale=" + std::to_string(size.width) + ":" + std::to_string(size.height) + ",format=yuv420p",
                 "-r", rate, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                 // A keyframe at least every second, so that fragments are at most a second long.
                 "-g", rate});
    if (in.hasAudio) args.insert(args.end(), {"-c:a", "aac", "-b:a", "128k"});
    // Fragmented MP4, each fragment flushed to the file as it is cut: should every process be
    // killed at once, the file still plays up to the last whole fragment. The simulated
    // finalisation failure keeps a plain MP4, whose index a kill never lets ffmpeg write.
    if (request.failure != CaptureFailureMode::finalize)
        args.insert(args.end(), {"-movflags", "+frag_keyframe+empty_moov+default_base_moof", "-flush_packets", "1"});
    args.insert(args.end(), {"-f", "mp4", "-y", request.outputPath.string()});
    return args;
}

std::unique_ptr<CaptureHandle> FfmpegBackend::start(const CaptureRequest& request, CaptureObserver observer) {
    return std::make_unique<FfmpegCapture>(arguments(request), request, std::move(observer), timing_);
}

}  // namespace lumora
