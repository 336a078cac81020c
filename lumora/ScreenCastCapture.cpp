#include "lumora/ScreenCastCapture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <deque>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lumora/ChildProcess.h"
#include "lumora/MediaProbe.h"

namespace lumora {
namespace {

using Clock = std::chrono::steady_clock;
using recorder::AutomationErrorCode;

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

std::int64_t fileSize(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? std::int64_t(info.st_size) : 0;
}

// The last few lines gst-launch wrote, for failure messages.
class OutputTail {
public:
    void append(const char* data, std::size_t size) {
        partial_.append(data, size);
        std::size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            std::string line = partial_.substr(0, nl);
            partial_.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // Its progress chatter says nothing about a failure.
            if (line.empty() || line.rfind("Setting pipeline", 0) == 0 || line.rfind("Pipeline is", 0) == 0 ||
                line.rfind("Redistribute", 0) == 0 || line.rfind("New clock", 0) == 0 ||
                line.rfind("Execution ended", 0) == 0 || line.rfind("Got EOS", 0) == 0 ||
                line.rfind("Waiting for EOS", 0) == 0 || line.rfind("EOS on shutdown", 0) == 0 ||
                line.rfind("Handling interrupt", 0) == 0 || line.rfind("Interrupt:", 0) == 0 ||
                line.rfind("Freeing pipeline", 0) == 0)
                continue;
            lines_.push_back(line);
            if (lines_.size() > 3) lines_.pop_front();
        }
        if (partial_.size() > 4096) partial_.clear();
    }
    std::string sentence(std::string text) const {
        std::string joined;
        for (const auto& l : lines_) joined += (joined.empty() ? "" : " ") + l;
        if (!joined.empty()) text += " GStreamer said: " + joined;
        return text;
    }

private:
    std::string partial_;
    std::deque<std::string> lines_;
};

}  // namespace

std::vector<std::string> ScreenCastCapture::pipelineArguments(const CaptureRequest& request, std::uint32_t node,
                                                              bool fragmented) {
    const auto rate = std::clamp<std::int64_t>(request.frameRate, 1, maximumFrameRate);
    const auto size = fittedOutputSize(request.outputWidth > 0 ? request.outputWidth : request.display.pixelWidth,
                                       request.outputHeight > 0 ? request.outputHeight : request.display.pixelHeight);
    const auto frames = request.durationLimitSeconds * rate;
    std::vector<std::string> args{
        "-e", "pipewiresrc", "fd=3", "path=" + std::to_string(node), "do-timestamp=true",
        // The compositor sends frames only when the screen changes: the last one is sent again
        // at least every 100 ms, and videorate fills the rest for a constant frame rate.
        "keepalive-time=100", "!", "videorate", "!", "video/x-raw,framerate=" + std::to_string(rate) + "/1", "!",
        // The duration limit, exact to the frame.
        "identity", "eos-after=" + std::to_string(frames), "!", "videoconvert", "!", "videoscale", "!",
        "video/x-raw,format=I420,pixel-aspect-ratio=1/1,width=" + std::to_string(size.width) +
            ",height=" + std::to_string(size.height),
        "!", "x264enc", "speed-preset=ultrafast", "tune=zerolatency", "key-int-max=" + std::to_string(rate), "!",
        "h264parse", "!", "mp4mux"};
    // Fragments every second: a pipeline killed outright still leaves a playable file.
    if (fragmented) args.push_back("fragment-duration=1000");
    args.insert(args.end(), {"!", "filesink", "location=" + request.outputPath.string()});
    return args;
}

ScreenCastCapture::ScreenCastCapture(Setup setup, CaptureRequest request, CaptureObserver observer)
    : setup_(std::move(setup)), request_(std::move(request)), observer_(std::move(observer)) {
    thread_ = std::thread([this] { run(); });
}

ScreenCastCapture::~ScreenCastCapture() {
    stop();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

void ScreenCastCapture::stop() { stopRequested_ = true; }

void ScreenCastCapture::run() {
    auto finish = [this](CaptureOutcome outcome, CaptureEnd end) {
        auto callback = std::move(observer_.didFinish);
        if (callback) callback(std::move(outcome), end);
    };
    const auto& display = request_.display;
    auto cancelled = [this] { return stopRequested_.load(); };

    // The grant: a stored token lets the desktop skip its question. A token the desktop no longer
    // takes is dropped, and the user is asked once more.
    auto stored = setup_.grants ? setup_.grants->token(display.id) : std::nullopt;
    std::optional<ScreenCastPortal> portal;
    portal.emplace(setup_.busAddress, setup_.timing.portal, cancelled);
    auto answer = portal->open(stored);
    if (stored) {
        if (auto* error = std::get_if<CaptureError>(&answer); error && error->code == AutomationErrorCode::captureFailed) {
            setup_.grants->forget(display.id);
            portal.reset();
            portal.emplace(setup_.busAddress, setup_.timing.portal, cancelled);
            answer = portal->open(std::nullopt);
        }
    }
    if (std::holds_alternative<CaptureCancelled>(answer)) return finish(CaptureCancelled{}, CaptureEnd::stopRequested);
    if (auto* error = std::get_if<CaptureError>(&answer)) return finish(*error, CaptureEnd::failed);
    const auto grant = std::get<ScreenCastPortal::Grant>(answer);
    if (setup_.grants && !grant.restoreToken.empty()) {
        const std::string shown = setup_.displayOfStream ? setup_.displayOfStream(grant.stream) : display.id;
        setup_.grants->store(shown.empty() ? display.id : shown, grant.restoreToken);
    }
    if (stopRequested_) return finish(CaptureCancelled{}, CaptureEnd::stopRequested);

    auto remote = portal->openPipeWireRemote();
    if (auto* error = std::get_if<CaptureError>(&remote)) return finish(*error, CaptureEnd::failed);
    int pipewire = std::get<int>(remote);

    const auto& output = request_.outputPath;
    const bool killAtStop = request_.failure == CaptureFailureMode::finalize;
    std::optional<ChildProcess> gst;
    try {
        // A failing start is simulated by withholding the stream's connection from the pipeline.
        gst.emplace("gst-launch-1.0", pipelineArguments(request_, grant.stream.node, !killAtStop), std::nullopt,
                    request_.failure == CaptureFailureMode::start ? -1 : pipewire);
    } catch (const ChildProcess::Failure& failure) {
        ::close(pipewire);
        return finish(CaptureError{AutomationErrorCode::captureFailed,
                                   "The capture could not be started: gst-launch-1.0 could not be run (" +
                                       failure.description() + ").",
                                   std::nullopt},
                      CaptureEnd::failed);
    }
    ::close(pipewire);

    const auto& timing = setup_.timing;
    const auto handedOver = Clock::now();
    OutputTail tail;
    bool outOpen = true, errOpen = true, started = false, noFrame = false;
    bool stopActed = false, crashed = false, limitReached = false;
    std::optional<Clock::time_point> startedAt, interruptAt, killAt;
    std::optional<ChildProcess::Exit> exit;
    char buffer[4096];

    while (!exit) {
        const auto now = Clock::now();
        if (!started && !stopActed && fileSize(output) > 0) {
            started = true;
            startedAt = now;
            if (observer_.didStartRecording) observer_.didStartRecording();
        }
        if (!started && !stopActed && now - handedOver >= timing.firstFrame) {
            noFrame = true;
            stopRequested_ = true;
        }
        if (started && !stopActed) {
            auto limit = std::chrono::seconds(request_.durationLimitSeconds);
            if (now - *startedAt >= (killAtStop ? limit : limit + timing.limitGrace)) {
                limitReached = true;
                stopRequested_ = true;
            }
        }
        if (started && request_.failure == CaptureFailureMode::during && !crashed && now - *startedAt >= timing.crashAfter) {
            crashed = true;
            gst->signal(SIGKILL);
        }
        if (stopRequested_ && !stopActed) {
            stopActed = true;
            interruptAt = now;
            gst->signal(killAtStop || noFrame ? SIGKILL : SIGINT);
        }
        if (interruptAt && !killAt && now - *interruptAt >= timing.interruptWait) {
            killAt = now;
            gst->signal(SIGKILL);
        }

        auto readOutput = [&](int wait) {
            if (!outOpen && !errOpen) return false;
            pollfd fds[2] = {{outOpen ? gst->standardOutput() : -1, POLLIN, 0},
                             {errOpen ? gst->standardError() : -1, POLLIN, 0}};
            int r = ::poll(fds, 2, wait);
            if (r < 0 && errno != EINTR) outOpen = errOpen = false;
            if (r <= 0) return false;
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents) continue;
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) tail.append(buffer, std::size_t(n));
                else if (n == 0 || errno != EINTR) (i == 0 ? outOpen : errOpen) = false;
            }
            return true;
        };
        if (!readOutput(50) && !outOpen && !errOpen) exit = gst->waitFor(std::chrono::milliseconds(50));
        else exit = gst->poll();
        if (exit)
            for (int i = 0; i < 64 && readOutput(0); ++i) {}
    }
    portal.reset();  // ends the screen cast

    if (noFrame) {
        removeQuietly(output);
        return finish(CaptureError{AutomationErrorCode::captureFailed,
                                   "The desktop granted the screen but sent no picture within " +
                                       std::to_string(timing.firstFrame.count() / 1000) +
                                       " seconds; nothing was recorded.",
                                   std::string("Make sure the screen is on and not locked, then start a new recording; "
                                               "if no picture comes again, ask the user to check the desktop's "
                                               "screen sharing.")},
                      CaptureEnd::failed);
    }
    if (!started) {
        removeQuietly(output);
        if (stopActed && !limitReached) return finish(CaptureCancelled{}, CaptureEnd::stopRequested);
        return finish(CaptureError{AutomationErrorCode::captureFailed,
                                   tail.sentence("The capture could not be started (gst-launch-1.0 ended with " +
                                                 exit->description() + ")."),
                                   std::nullopt},
                      CaptureEnd::failed);
    }

    const bool endedByItself = !stopActed;
    if (crashed || (endedByItself && !exit->succeeded())) {
        auto measured = MediaProbe::measure(output);
        std::string message = "The capture stopped unexpectedly (gst-launch-1.0 ended with " + exit->description() + ").";
        if (std::holds_alternative<SavedMedia>(measured)) message += " A partial recording was kept at " + output.string() + ".";
        else removeQuietly(output);
        return finish(CaptureError{AutomationErrorCode::captureFailed, tail.sentence(message), std::nullopt},
                      CaptureEnd::failed);
    }

    auto measured = MediaProbe::measure(output);
    const CaptureEnd end = (endedByItself || limitReached) ? CaptureEnd::durationLimit : CaptureEnd::stopRequested;
    if (auto* media = std::get_if<SavedMedia>(&measured)) return finish(*media, end);
    removeQuietly(output);
    finish(CaptureError{AutomationErrorCode::finalizationFailed,
                        tail.sentence("The recording could not be saved: " + std::get<std::string>(measured)),
                        std::nullopt},
           CaptureEnd::failed);
}

}  // namespace lumora
