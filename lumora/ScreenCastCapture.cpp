#include "lumora/ScreenCastCapture.h"

#include <algorithm>
#include <optional>
#include <unistd.h>

#include "lumora/GstRecording.h"

namespace lumora {
namespace {
using recorder::AutomationErrorCode;
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
        // skip-to-first: the file starts at the first frame, not when the pipeline started.
        "keepalive-time=100", "!", "videorate", "skip-to-first=true", "!",
        "video/x-raw,framerate=" + std::to_string(rate) + "/1", "!",
        // The duration limit, exact to the frame.
        "identity", "eos-after=" + std::to_string(frames), "!", "videoconvert", "!", "videoscale", "!",
        "video/x-raw,format=I420,pixel-aspect-ratio=1/1,width=" + std::to_string(size.width) +
            ",height=" + std::to_string(size.height),
        "!", "x264enc", "speed-preset=ultrafast", "tune=zerolatency", "key-int-max=" + std::to_string(rate), "!",
        "h264parse", "!", "mp4mux"};
    // Fragments every second: a pipeline killed outright still leaves a playable file.
    if (fragmented) args.push_back("fragment-duration=1000");
    // Unbuffered: the file grows with the first frame (that is when the capture counts as
    // recording), and every fragment is on disk as soon as it is made.
    args.insert(args.end(), {"!", "filesink", "buffer-mode=unbuffered", "location=" + request.outputPath.string()});
    return args;
}

std::pair<std::vector<std::string>, std::vector<std::string>> ScreenCastCapture::withoutStream(
    std::vector<std::string> arguments) {
    arguments.erase(std::remove(arguments.begin(), arguments.end(), "fd=3"), arguments.end());
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        if (entry.rfind("XDG_RUNTIME_DIR=", 0) != 0 && entry.rfind("PIPEWIRE_", 0) != 0) environment.push_back(entry);
    }
    environment.push_back("XDG_RUNTIME_DIR=/nonexistent/lumora-simulated-failure");
    environment.push_back("PIPEWIRE_RUNTIME_DIR=/nonexistent/lumora-simulated-failure");
    return {std::move(arguments), std::move(environment)};
}

ScreenCastCapture::ScreenCastCapture(Setup setup, CaptureRequest request, CaptureObserver observer)
    : setup_(std::move(setup)), request_(std::move(request)), thread_(std::move(observer)) {
    thread_.start([this] { run(); });
}

void ScreenCastCapture::run() {
    auto finish = [this](CaptureOutcome outcome, CaptureEnd end) { thread_.finish(std::move(outcome), end); };
    const auto& display = request_.display;
    auto cancelled = [this] { return thread_.stopRequested().load(); };

    // The grant: a stored token lets the desktop skip its question. A token the desktop no longer
    // takes is dropped, and the user is asked once more.
    auto stored = setup_.grants ? setup_.grants->token(display.id) : std::nullopt;
    std::optional<ScreenCastPortal> portal;
    portal.emplace(setup_.busAddress, setup_.timing.portal, cancelled);
    auto answer = portal->open(stored);
    if (stored && portal->restoreTokenRefused()) {
        setup_.grants->forget(display.id);
        portal.reset();
        portal.emplace(setup_.busAddress, setup_.timing.portal, cancelled);
        answer = portal->open(std::nullopt);
    }
    if (std::holds_alternative<CaptureCancelled>(answer)) return finish(CaptureCancelled{}, CaptureEnd::stopRequested);
    if (auto* error = std::get_if<CaptureError>(&answer)) return finish(*error, CaptureEnd::failed);
    const auto grant = std::get<ScreenCastPortal::Grant>(answer);
    if (setup_.grants && !grant.restoreToken.empty()) {
        const std::string shown = setup_.displayOfStream ? setup_.displayOfStream(grant.stream) : display.id;
        setup_.grants->store(shown.empty() ? display.id : shown, grant.restoreToken);
    }
    if (thread_.stopRequested()) return finish(CaptureCancelled{}, CaptureEnd::stopRequested);

    auto remote = portal->openPipeWireRemote();
    if (auto* error = std::get_if<CaptureError>(&remote)) return finish(*error, CaptureEnd::failed);
    int pipewire = std::get<int>(remote);

    auto arguments = pipelineArguments(request_, grant.stream.node, request_.failure != CaptureFailureMode::finalize);
    std::optional<std::vector<std::string>> environment;
    if (request_.failure == CaptureFailureMode::start) {
        auto [withheld, empty] = withoutStream(std::move(arguments));
        arguments = std::move(withheld);
        environment = std::move(empty);
    }
    auto [outcome, end] = GstRecording::run(
        arguments, request_, environment ? -1 : pipewire, setup_.timing.recording, thread_.stopRequested(),
        [this] { thread_.recordingStarted(); }, environment);
    ::close(pipewire);
    portal.reset();  // ends the screen cast
    finish(std::move(outcome), end);
}

}  // namespace lumora
