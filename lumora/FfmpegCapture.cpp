#include "lumora/FfmpegCapture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <optional>
#include <poll.h>
#include <unistd.h>

#include "lumora/ChildProcess.h"
#include "lumora/MediaProbe.h"

namespace lumora {
namespace {

using Clock = std::chrono::steady_clock;

// Keeps the last lines of a stream, for failure messages.
class LineTail {
public:
    explicit LineTail(std::size_t keep) : keep_(keep) {}
    // Appends bytes and returns the lines they completed.
    std::vector<std::string> append(const char* data, std::size_t size) {
        std::vector<std::string> done;
        partial_.append(data, size);
        std::size_t start = 0, nl;
        while ((nl = partial_.find('\n', start)) != std::string::npos) {
            std::string line = partial_.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            start = nl + 1;
            if (line.empty()) continue;
            done.push_back(line);
            lines_.push_back(line);
            if (lines_.size() > keep_) lines_.pop_front();
        }
        partial_.erase(0, start);
        if (partial_.size() > 4096) partial_.clear();
        return done;
    }
    std::string text() const {
        std::string joined;
        for (const auto& l : lines_) joined += (joined.empty() ? "" : " ") + l;
        return joined;
    }

private:
    std::size_t keep_;
    std::string partial_;
    std::deque<std::string> lines_;
};

std::string withDetail(std::string sentence, const std::string& detail) {
    if (!detail.empty()) sentence += " ffmpeg said: " + detail;
    return sentence;
}

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

}  // namespace

FfmpegCapture::FfmpegCapture(std::vector<std::string> arguments, CaptureRequest request, CaptureObserver observer,
                             Timing timing)
    : arguments_(std::move(arguments)), request_(std::move(request)), observer_(std::move(observer)), timing_(timing) {
    thread_ = std::thread([this] { run(); });
}

FfmpegCapture::~FfmpegCapture() {
    stop();
    if (thread_.joinable()) {
        // The observer may release its capture from inside its own callback.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void FfmpegCapture::stop() { stopRequested_ = true; }

void FfmpegCapture::run() {
    auto finish = [this](CaptureOutcome outcome, CaptureEnd end) {
        // Last act of this thread: the callback may destroy this object.
        auto callback = std::move(observer_.didFinish);
        if (callback) callback(std::move(outcome), end);
    };

    std::optional<ChildProcess> ffmpeg;
    try {
        ffmpeg.emplace("ffmpeg", arguments_);
    } catch (const ChildProcess::Failure& failure) {
        finish(
            CaptureError{recorder::AutomationErrorCode::captureFailed,
                         "The capture could not be started: ffmpeg could not be run (" + failure.description() + ")."},
            CaptureEnd::failed);
        return;
    }

    const bool killAtStop = request_.failure == CaptureFailureMode::finalize;
    LineTail progress(4), errors(3);
    bool outOpen = true, errOpen = true, started = false;
    std::optional<Clock::time_point> startedAt, quitAt, interruptAt, killAt;
    bool stopActed = false, crashed = false, limitReached = false, diskFull = false;
    std::optional<ChildProcess::Exit> exit;
    char buffer[4096];

    while (!exit) {
        const auto now = Clock::now();
        // Lumora's own guard for the duration limit; ffmpeg normally ends the capture itself.
        if (started && !stopActed) {
            auto limit = std::chrono::seconds(request_.durationLimitSeconds);
            auto due = killAtStop ? limit : limit + timing_.limitGrace;
            if (now - *startedAt >= due) {
                limitReached = true;
                stopRequested_ = true;
            }
        }
        if (started && request_.failure == CaptureFailureMode::during && !crashed &&
            now - *startedAt >= timing_.crashAfter) {
            crashed = true;
            ffmpeg->signal(SIGKILL);
        }
        auto interrupt = [&] {
            interruptAt = now;
            ffmpeg->signal(SIGINT);
        };
        if (stopRequested_ && !stopActed) {
            stopActed = true;
            if (killAtStop) {
                ffmpeg->signal(SIGKILL);
            } else {
                quitAt = now;
                if (!ffmpeg->writeInput("q\n")) interrupt();
            }
        }
        if (quitAt && !interruptAt && now - *quitAt >= timing_.quitWait) interrupt();
        if (interruptAt && !killAt && now - *interruptAt >= timing_.interruptWait) {
            killAt = now;
            ffmpeg->signal(SIGKILL);
        }

        // Reads what ffmpeg reported; `wait` is how long to wait for something to arrive.
        auto readReports = [&](int wait) {
            if (!outOpen && !errOpen) return false;
            pollfd fds[2] = {{outOpen ? ffmpeg->standardOutput() : -1, POLLIN, 0},
                             {errOpen ? ffmpeg->standardError() : -1, POLLIN, 0}};
            int r = ::poll(fds, 2, wait);
            if (r < 0 && errno != EINTR) outOpen = errOpen = false;
            if (r <= 0) return false;
            if (fds[0].revents) {
                ssize_t n = ::read(ffmpeg->standardOutput(), buffer, sizeof buffer);
                if (n > 0) {
                    for (const auto& line : progress.append(buffer, std::size_t(n))) {
                        // A stop that came before capture was confirmed cancels the recording.
                        if (!started && !stopActed && line.rfind("frame=", 0) == 0 &&
                            std::atoll(line.c_str() + 6) >= 1) {
                            started = true;
                            startedAt = Clock::now();
                            if (observer_.didStartRecording) observer_.didStartRecording();
                        }
                    }
                } else if (n == 0 || errno != EINTR) {
                    outOpen = false;
                }
            }
            if (fds[1].revents) {
                ssize_t n = ::read(ffmpeg->standardError(), buffer, sizeof buffer);
                if (n > 0) {
                    for (const auto& line : errors.append(buffer, std::size_t(n)))
                        if (line.find("No space left on device") != std::string::npos ||
                            line.find("Disk quota exceeded") != std::string::npos)
                            diskFull = true;
                } else if (n == 0 || errno != EINTR)
                    errOpen = false;
            }
            return true;
        };
        if (!readReports(50) && !outOpen && !errOpen)
            exit = ffmpeg->waitFor(std::chrono::milliseconds(50));
        else
            exit = ffmpeg->poll();
        // The last reports and error lines still in the pipes, without waiting for other
        // holders of the pipes to let go.
        if (exit)
            for (int i = 0; i < 64 && readReports(0); ++i) {
            }
    }

    const auto& output = request_.outputPath;
    if (!started) {
        removeQuietly(output);
        if (stopActed && !limitReached) {
            finish(CaptureCancelled{}, CaptureEnd::stopRequested);
        } else {
            finish(CaptureError{recorder::AutomationErrorCode::captureFailed,
                                withDetail(
                                    "The capture could not be started (ffmpeg ended with " + exit->description() + ").",
                                    errors.text())},
                   CaptureEnd::failed);
        }
        return;
    }

    // A full disk ends the capture with write errors, whether while recording or at stop. What
    // was written up to then is kept: fragmented, it plays up to the last whole fragment.
    if (diskFull) {
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
        finish(CaptureError{recorder::AutomationErrorCode::finalizationFailed, message,
                            "Ask the user to free space on that disk or to choose another folder for recordings "
                            "(\"outputFolder\" in settings.json), then start a new recording."},
               CaptureEnd::failed);
        return;
    }

    const bool endedByItself = !stopActed;
    if (crashed || (endedByItself && !exit->succeeded())) {
        auto measured = MediaProbe::measure(output);
        std::string message = "The capture stopped unexpectedly (ffmpeg ended with " + exit->description() + ").";
        if (std::holds_alternative<SavedMedia>(measured))
            message += " A partial recording was kept at " + output.string() + ".";
        else
            removeQuietly(output);
        finish(CaptureError{recorder::AutomationErrorCode::captureFailed, withDetail(message, errors.text())},
               CaptureEnd::failed);
        return;
    }

    auto measured = MediaProbe::measure(output);
    const CaptureEnd end = (endedByItself || limitReached) ? CaptureEnd::durationLimit : CaptureEnd::stopRequested;
    if (auto* media = std::get_if<SavedMedia>(&measured)) {
        finish(*media, end);
        return;
    }
    removeQuietly(output);
    finish(
        CaptureError{recorder::AutomationErrorCode::finalizationFailed,
                     withDetail("The recording could not be saved: " + std::get<std::string>(measured), errors.text())},
        CaptureEnd::failed);
}

}  // namespace lumora
