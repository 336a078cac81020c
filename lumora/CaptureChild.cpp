#include "lumora/CaptureChild.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

#include "lumora/MediaProbe.h"

namespace lumora {
namespace {

using Clock = std::chrono::steady_clock;
using recorder::AutomationErrorCode;

// Splits one output stream into lines: carriage returns dropped, blank lines skipped, and an
// unfinished line that grows past 4 KiB thrown away.
class LineSplitter {
public:
    std::vector<std::string> append(const char* data, std::size_t size) {
        std::vector<std::string> done;
        partial_.append(data, size);
        std::size_t start = 0, nl;
        while ((nl = partial_.find('\n', start)) != std::string::npos) {
            std::string line = partial_.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            start = nl + 1;
            if (!line.empty()) done.push_back(std::move(line));
        }
        partial_.erase(0, start);
        if (partial_.size() > 4096) partial_.clear();
        return done;
    }

private:
    std::string partial_;
};

}  // namespace

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}

CaptureChild::CaptureChild(Script script, const CaptureRequest& request, Timing timing)
    : script_(std::move(script)), request_(request), timing_(timing) {}

void CaptureChild::run(const std::atomic<bool>& stopRequested) {
    std::optional<ChildProcess> child;
    try {
        child.emplace(script_.program, script_.arguments, script_.environment, script_.inherited);
    } catch (const ChildProcess::Failure& failure) {
        notRun_ = failure;
        return;
    }

    const bool killAtStop = request_.failure == CaptureFailureMode::finalize;
    const auto handedOver = Clock::now();
    std::optional<Clock::time_point> startedAt, quitAt, interruptAt, killAt;
    bool stopping = false;
    auto beginRecording = [&](Clock::time_point at) {
        recording_ = true;
        startedAt = at;
        if (script_.started) script_.started();
    };

    LineSplitter lines[2];
    bool open[2] = {true, true};
    char buffer[4096];
    // Reads what the program wrote; `wait` is how long to wait for something to arrive.
    auto readOutput = [&](int wait) {
        if (!open[0] && !open[1]) return false;
        pollfd fds[2] = {{open[0] ? child->standardOutput() : -1, POLLIN, 0},
                         {open[1] ? child->standardError() : -1, POLLIN, 0}};
        int r = ::poll(fds, 2, wait);
        if (r < 0 && errno != EINTR) open[0] = open[1] = false;
        if (r <= 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR)) open[i] = false;
            if (n <= 0) continue;
            for (auto& line : lines[i].append(buffer, std::size_t(n))) {
                const Line meaning = script_.read ? script_.read(i == 1, line) : Line::detail;
                if (meaning == Line::ignored) continue;
                // A first frame after a stop request does not start a recording: the stop
                // cancels it.
                if (meaning == Line::firstFrame) {
                    if (!recording_ && !stopActed_) beginRecording(Clock::now());
                    continue;
                }
                if (meaning == Line::diskFull) diskFull_ = true;
                detail_.push_back(std::move(line));
                if (detail_.size() > 3) detail_.erase(detail_.begin());
            }
        }
        return true;
    };

    while (!exit_) {
        const auto now = Clock::now();
        if (!recording_ && !stopActed_ && script_.firstFrameWritten && script_.firstFrameWritten()) beginRecording(now);
        if (!recording_ && !stopActed_ && timing_.firstFrame && now - handedOver >= *timing_.firstFrame) {
            noFrame_ = true;
            stopping = true;
        }
        // Lumora's own guard for the duration limit; the program normally ends the capture itself.
        if (recording_ && !stopActed_) {
            const auto limit = std::chrono::seconds(request_.durationLimitSeconds);
            if (now - *startedAt >= (killAtStop ? limit : limit + timing_.limitGrace)) {
                limitReached_ = true;
                stopping = true;
            }
        }
        if (recording_ && request_.failure == CaptureFailureMode::during && !crashed_ &&
            now - *startedAt >= timing_.crashAfter) {
            crashed_ = true;
            child->signal(SIGKILL);
        }
        auto interrupt = [&] {
            interruptAt = now;
            child->signal(SIGINT);
        };
        if ((stopping || stopRequested) && !stopActed_) {
            stopActed_ = true;
            if (killAtStop || noFrame_) {
                interruptAt = now;
                child->signal(SIGKILL);
            } else if (!script_.quitInput.empty()) {
                quitAt = now;
                if (!child->writeInput(script_.quitInput)) interrupt();
            } else {
                interrupt();
            }
        }
        if (quitAt && !interruptAt && now - *quitAt >= timing_.quitWait) interrupt();
        if (interruptAt && !killAt && now - *interruptAt >= timing_.interruptWait) {
            killAt = now;
            child->signal(SIGKILL);
        }

        if (!readOutput(50) && !open[0] && !open[1])
            exit_ = child->waitFor(std::chrono::milliseconds(50));
        else
            exit_ = child->poll();
        // The last lines still in the pipes, without waiting for other holders of the pipes to
        // let go.
        if (exit_)
            for (int i = 0; i < 64 && readOutput(0); ++i) {
            }
    }
}

std::string CaptureChild::quoted(std::string sentence) const {
    std::string joined;
    for (const auto& l : detail_) joined += (joined.empty() ? "" : " ") + l;
    if (!joined.empty()) sentence += " " + script_.speaker + " said: " + joined;
    return sentence;
}

CaptureChild::Ending CaptureChild::ending() const {
    const auto& output = request_.outputPath;
    const auto& program = script_.program;
    if (notRun_)
        return {
            CaptureError{AutomationErrorCode::captureFailed, "The capture could not be started: " + program +
                                                                 " could not be run (" + notRun_->description() + ")."},
            CaptureEnd::failed};
    if (!recording_) {
        removeQuietly(output);
        if (stopActed_ && !limitReached_) return {CaptureCancelled{}, CaptureEnd::stopRequested};
        return {CaptureError{AutomationErrorCode::captureFailed, quoted("The capture could not be started (" + program +
                                                                        " ended with " + exit_->description() + ").")},
                CaptureEnd::failed};
    }

    const bool endedByItself = !stopActed_;
    if (crashed_ || (endedByItself && !exit_->succeeded())) {
        auto measured = MediaProbe::measure(output);
        std::string message =
            "The capture stopped unexpectedly (" + program + " ended with " + exit_->description() + ").";
        if (std::holds_alternative<SavedMedia>(measured))
            message += " A partial recording was kept at " + output.string() + ".";
        else
            removeQuietly(output);
        return {CaptureError{AutomationErrorCode::captureFailed, quoted(message)}, CaptureEnd::failed};
    }

    auto measured = MediaProbe::measure(output);
    const CaptureEnd end = (endedByItself || limitReached_) ? CaptureEnd::durationLimit : CaptureEnd::stopRequested;
    if (auto* media = std::get_if<SavedMedia>(&measured)) return {*media, end};
    removeQuietly(output);
    return {CaptureError{AutomationErrorCode::finalizationFailed,
                         quoted("The recording could not be saved: " + std::get<std::string>(measured))},
            CaptureEnd::failed};
}

}  // namespace lumora
