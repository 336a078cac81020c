#pragma once
// A capture's program (ffmpeg, gst-launch-1.0) supervised to its end, so that every capture stops,
// guards its duration limit and reports its ending the same way; what differs between programs
// comes in as a Script.

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lumora/CaptureBackend.h"
#include "lumora/ChildProcess.h"

namespace lumora {

// Runs on the calling thread: when the program counts as recording, Lumora's own guard for the
// duration limit, the stop escalation (the quit input, then SIGINT, then SIGKILL, each after a
// bounded wait), the simulated failures, and the endings every such capture shares.
class CaptureChild {
public:
    using Ending = std::pair<CaptureOutcome, CaptureEnd>;

    struct Timing {
        std::chrono::milliseconds quitWait{5000};       // after the quit input, before SIGINT
        std::chrono::milliseconds interruptWait{5000};  // after SIGINT, before SIGKILL
        std::chrono::milliseconds crashAfter{600};      // CaptureFailureMode::during
        std::chrono::milliseconds limitGrace{5000};     // past the duration limit before Lumora stops it
        // From the start of the program to its first frame; nothing: no limit.
        std::optional<std::chrono::milliseconds> firstFrame;
    };

    // What one line of the program's output tells.
    enum class Line { ignored, detail, firstFrame, diskFull };

    struct Script {
        std::string program;  // run from PATH, and named in messages
        std::vector<std::string> arguments;
        std::optional<std::vector<std::string>> environment;  // in place of Lumora's own
        int inherited = -1;                                   // the child's descriptor 3
        std::string quitInput;  // written to the child at stop, before SIGINT; empty: SIGINT at once
        std::string speaker;    // who the detail lines quote ("ffmpeg", "GStreamer")
        // What a line of standard output (or, with `error`, standard error) tells. Detail lines
        // (and disk-full ones) end up, the last three, in failure messages.
        std::function<Line(bool error, const std::string& line)> read;
        // Looked at every round until recording: whether the first frame is in the file.
        std::function<bool()> firstFrameWritten;
        std::function<void()> started;  // once, at the first frame
    };

    CaptureChild(Script script, const CaptureRequest& request, Timing timing);

    // Runs the program to its end; `stopRequested` is looked at all along.
    void run(const std::atomic<bool>& stopRequested);

    bool recording() const { return recording_; }
    bool diskFull() const { return diskFull_; }
    // No first frame came within Timing::firstFrame; the program was killed.
    bool noFrame() const { return noFrame_; }

    // The ending of a run: not runnable, cancelled before the first frame, failed to start,
    // crashed, or the saved file as measured.
    Ending ending() const;

    // `sentence`, followed by what the program said last, when it said anything.
    std::string quoted(std::string sentence) const;

private:
    Script script_;
    const CaptureRequest& request_;
    Timing timing_;
    std::optional<ChildProcess::Failure> notRun_;
    std::optional<ChildProcess::Exit> exit_;
    std::vector<std::string> detail_;
    bool recording_ = false, stopActed_ = false, crashed_ = false, limitReached_ = false;
    bool noFrame_ = false, diskFull_ = false;
};

// Removes a file, ignoring every failure (a capture's leftovers).
void removeQuietly(const std::filesystem::path& path);

}  // namespace lumora
