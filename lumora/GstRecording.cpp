#include "lumora/GstRecording.h"

#include <sys/stat.h>

#include "lumora/CaptureChild.h"

namespace lumora {
namespace {

std::string secondsText(std::chrono::milliseconds ms) {
    const auto s = (ms.count() + 500) / 1000;
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

std::int64_t fileSize(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? std::int64_t(info.st_size) : 0;
}

// gst-launch's progress chatter, which says nothing about a failure.
bool chatter(const std::string& line) {
    for (const char* prefix : {"Setting pipeline", "Pipeline is", "Redistribute", "New clock", "Execution ended",
                               "Got EOS", "Waiting for EOS", "EOS on shutdown", "Handling interrupt", "Interrupt:",
                               "Freeing pipeline", "Additional debug info", "../"})  // the source location of an error
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

}  // namespace

GstRecording::Ending GstRecording::run(const std::vector<std::string>& arguments, const CaptureRequest& request,
                                       int inherited, const Timing& timing, const std::atomic<bool>& stopRequested,
                                       const std::function<void()>& started,
                                       const std::optional<std::vector<std::string>>& environment) {
    CaptureChild::Script script;
    script.program = "gst-launch-1.0";
    script.arguments = arguments;
    script.environment = environment;
    script.inherited = inherited;
    script.speaker = "GStreamer";
    script.read = [](bool, const std::string& line) {
        return chatter(line) ? CaptureChild::Line::ignored : CaptureChild::Line::detail;
    };
    script.firstFrameWritten = [&output = request.outputPath] { return fileSize(output) > 0; };
    script.started = started;
    CaptureChild gst(std::move(script), request,
                     {std::chrono::milliseconds::zero(), timing.interruptWait, timing.crashAfter, timing.limitGrace,
                      timing.firstFrame});
    gst.run(stopRequested);

    if (gst.noFrame()) {
        removeQuietly(request.outputPath);
        return {CaptureError{recorder::AutomationErrorCode::captureFailed,
                             "The desktop granted the screen but sent no picture within " +
                                 secondsText(timing.firstFrame) + "; nothing was recorded.",
                             std::string("Make sure the screen is on and not locked, then start a new recording; "
                                         "if no picture comes again, ask the user to check the desktop's "
                                         "screen sharing.")},
                CaptureEnd::failed};
    }
    return gst.ending();
}

}  // namespace lumora
