#include "lumora/GstRecording.h"

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

std::string secondsText(std::chrono::milliseconds ms) {
    const auto s = (ms.count() + 500) / 1000;
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

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
                line.rfind("Freeing pipeline", 0) == 0 || line.rfind("Additional debug info", 0) == 0 ||
                line.rfind("../", 0) == 0)  // the source location of an error
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

GstRecording::Ending GstRecording::run(const std::vector<std::string>& arguments, const CaptureRequest& request,
                                       int inherited, const Timing& timing, const std::atomic<bool>& stopRequested,
                                       const std::function<void()>& started,
                                       const std::optional<std::vector<std::string>>& environment) {
    const auto& output = request.outputPath;
    const bool killAtStop = request.failure == CaptureFailureMode::finalize;
    std::optional<ChildProcess> gst;
    try {
        gst.emplace("gst-launch-1.0", arguments, environment, inherited);
    } catch (const ChildProcess::Failure& failure) {
        return {CaptureError{AutomationErrorCode::captureFailed,
                             "The capture could not be started: gst-launch-1.0 could not be run (" +
                                 failure.description() + ").",
                             std::nullopt},
                CaptureEnd::failed};
    }

    const auto handedOver = Clock::now();
    bool stopping = false;
    OutputTail tail;
    bool outOpen = true, errOpen = true, recording = false, noFrame = false;
    bool stopActed = false, crashed = false, limitReached = false;
    std::optional<Clock::time_point> startedAt, interruptAt, killAt;
    std::optional<ChildProcess::Exit> exit;
    char buffer[4096];

    while (!exit) {
        const auto now = Clock::now();
        if (!recording && !stopActed && fileSize(output) > 0) {
            recording = true;
            startedAt = now;
            if (started) started();
        }
        if (!recording && !stopActed && now - handedOver >= timing.firstFrame) {
            noFrame = true;
            stopping = true;
        }
        if (recording && !stopActed) {
            auto limit = std::chrono::seconds(request.durationLimitSeconds);
            if (now - *startedAt >= (killAtStop ? limit : limit + timing.limitGrace)) {
                limitReached = true;
                stopping = true;
            }
        }
        if (recording && request.failure == CaptureFailureMode::during && !crashed &&
            now - *startedAt >= timing.crashAfter) {
            crashed = true;
            gst->signal(SIGKILL);
        }
        if ((stopping || stopRequested) && !stopActed) {
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
                if (n > 0)
                    tail.append(buffer, std::size_t(n));
                else if (n == 0 || errno != EINTR)
                    (i == 0 ? outOpen : errOpen) = false;
            }
            return true;
        };
        if (!readOutput(50) && !outOpen && !errOpen)
            exit = gst->waitFor(std::chrono::milliseconds(50));
        else
            exit = gst->poll();
        if (exit)
            for (int i = 0; i < 64 && readOutput(0); ++i) {
            }
    }
    if (noFrame) {
        removeQuietly(output);
        return {CaptureError{AutomationErrorCode::captureFailed,
                             "The desktop granted the screen but sent no picture within " +
                                 secondsText(timing.firstFrame) + "; nothing was recorded.",
                             std::string("Make sure the screen is on and not locked, then start a new recording; "
                                         "if no picture comes again, ask the user to check the desktop's "
                                         "screen sharing.")},
                CaptureEnd::failed};
    }
    if (!recording) {
        removeQuietly(output);
        if (stopActed && !limitReached) return {CaptureCancelled{}, CaptureEnd::stopRequested};
        return {CaptureError{AutomationErrorCode::captureFailed,
                             tail.sentence("The capture could not be started (gst-launch-1.0 ended with " +
                                           exit->description() + ")."),
                             std::nullopt},
                CaptureEnd::failed};
    }

    const bool endedByItself = !stopActed;
    if (crashed || (endedByItself && !exit->succeeded())) {
        auto measured = MediaProbe::measure(output);
        std::string message =
            "The capture stopped unexpectedly (gst-launch-1.0 ended with " + exit->description() + ").";
        if (std::holds_alternative<SavedMedia>(measured))
            message += " A partial recording was kept at " + output.string() + ".";
        else
            removeQuietly(output);
        return {CaptureError{AutomationErrorCode::captureFailed, tail.sentence(message), std::nullopt},
                CaptureEnd::failed};
    }

    auto measured = MediaProbe::measure(output);
    const CaptureEnd end = (endedByItself || limitReached) ? CaptureEnd::durationLimit : CaptureEnd::stopRequested;
    if (auto* media = std::get_if<SavedMedia>(&measured)) return {*media, end};
    removeQuietly(output);
    return {CaptureError{AutomationErrorCode::finalizationFailed,
                         tail.sentence("The recording could not be saved: " + std::get<std::string>(measured)),
                         std::nullopt},
            CaptureEnd::failed};
}

}  // namespace lumora
