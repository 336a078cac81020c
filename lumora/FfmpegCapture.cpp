#include "lumora/FfmpegCapture.h"

#include <cstdio>
#include <cstdlib>

#include "lumora/CaptureChild.h"
#include "lumora/MediaProbe.h"

namespace lumora {

FfmpegCapture::FfmpegCapture(std::vector<std::string> arguments, CaptureRequest request, CaptureObserver observer,
                             Timing timing)
    : arguments_(std::move(arguments)), request_(std::move(request)), timing_(timing), thread_(std::move(observer)) {
    thread_.start([this] { run(); });
}

void FfmpegCapture::run() {
    CaptureChild::Script script;
    script.program = "ffmpeg";
    script.arguments = arguments_;
    script.quitInput = "q\n";
    script.speaker = "ffmpeg";
    // Progress reports come on standard output ("frame=N"), errors on standard error.
    script.read = [](bool error, const std::string& line) {
        using Line = CaptureChild::Line;
        if (!error)
            return line.rfind("frame=", 0) == 0 && std::atoll(line.c_str() + 6) >= 1 ? Line::firstFrame : Line::ignored;
        if (line.find("No space left on device") != std::string::npos ||
            line.find("Disk quota exceeded") != std::string::npos)
            return Line::diskFull;
        return Line::detail;
    };
    script.started = [this] { thread_.recordingStarted(); };
    CaptureChild ffmpeg(
        std::move(script), request_,
        {timing_.quitWait, timing_.interruptWait, timing_.crashAfter, timing_.limitGrace, std::nullopt});
    ffmpeg.run(thread_.stopRequested());

    // A full disk ends the capture with write errors, whether while recording or at stop. What
    // was written up to then is kept: fragmented, it plays up to the last whole fragment.
    if (ffmpeg.recording() && ffmpeg.diskFull()) {
        const auto& output = request_.outputPath;
        auto measured = MediaProbe::measure(output);
        std::string message =
            "The disk is full: the recording stopped when " + output.parent_path().string() + " ran out of space.";
        if (auto* media = std::get_if<SavedMedia>(&measured)) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", media->durationSeconds);
            message +=
                " The part recorded until then (" + std::string(seconds) + " s) was kept at " + output.string() + ".";
        } else {
            message += " Nothing playable had been written, so no file was kept.";
            removeQuietly(output);
        }
        return thread_.finish(
            CaptureError{recorder::AutomationErrorCode::finalizationFailed, message,
                         "Ask the user to free space on that disk or to choose another folder for recordings "
                         "(\"outputFolder\" in settings.json), then start a new recording."},
            CaptureEnd::failed);
    }
    auto [outcome, end] = ffmpeg.ending();
    thread_.finish(std::move(outcome), end);
}

}  // namespace lumora
