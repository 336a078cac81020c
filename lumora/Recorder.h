#pragma once
// Lumora's recording engine: one recording at a time, started by hand or through automation,
// whose session moves preparing -> recording (once frames are written) -> stopping -> saved,
// failed or cancelled as its capture reports. Thread-safe.

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "lumora/CaptureBackend.h"
#include "lumora/RecordingSession.h"
#include "lumora/SessionStore.h"

namespace lumora {

class Recorder {
public:
    struct StartOrder {
        RecordingOrigin origin = RecordingOrigin::automation;
        std::string requestID;                 // automated sessions: the start request's identifier
        recorder::StartParameters parameters;  // as requested, for telling a retry from a conflict
        CaptureDisplay display;
        bool systemAudio = false;
        std::int64_t durationLimitSeconds = 3600;
        std::int64_t frameRate = 30;
        std::filesystem::path outputFolder;
        CaptureFailureMode failure = CaptureFailureMode::none;
    };
    using Answer = std::variant<RecordingSession, recorder::AutomationFailure>;

    // Free space a start needs in the output folder: about ten seconds of a busy 1080p screen.
    static constexpr std::uintmax_t minimumFreeBytes = 16 * 1024 * 1024;

    Recorder(std::shared_ptr<CaptureBackend> backend, std::size_t capacity);
    // Stops a recording in progress and waits for it to be saved.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Starts a recording, or answers the session that an earlier start with the same request
    // identifier and parameters made. Refusals: idempotency_conflict, busy,
    // destination_unavailable, capacity_exceeded.
    Answer start(const StartOrder& order);

    // Asks the session to end and be saved; harmless for a session that is already ending or
    // finished. `byAutomation` refuses sessions that the user started (session_not_owned).
    Answer stop(const std::string& sessionID, bool byAutomation);

    std::optional<RecordingSession> session(const std::string& sessionID) const;
    // The recording in progress (not yet final), if any.
    std::optional<RecordingSession> active() const;

    // The app's record button: stops the recording in progress, whoever started it, or starts
    // a recording by hand. Returns a line for the app's log.
    std::string toggleByUser(const StartOrder& manualOrder);

    // Stops whatever records, with `reason` as its end reason, and waits up to `timeout` until
    // nothing is in progress. True when nothing is left running.
    bool finish(const std::string& reason, std::chrono::milliseconds timeout);

    // Receives one line per event worth showing (the app's recording indicator).
    void setLog(std::function<void(const std::string&)> log);

    // Told of every change of the recording in progress (preparing, recording, stopping, and its
    // final state), with the session as it now is. Called under the recorder's lock: it must
    // not call back into the recorder.
    void setActivityObserver(std::function<void(const RecordingSession&)> observer);

private:
    void captureStarted(const std::string& id);
    void captureFinished(const std::string& id, CaptureOutcome outcome, CaptureEnd end);
    Answer startLocked(std::unique_lock<std::mutex>& lock, const StartOrder& order);
    void requestStopLocked(RecordingSession& session, const std::string& reason);
    void logLocked(const std::string& line);
    void reportLocked(const RecordingSession& session);

    std::shared_ptr<CaptureBackend> backend_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    SessionStore store_;
    std::optional<std::string> activeID_;
    std::unique_ptr<CaptureHandle> activeCapture_;
    bool stopPending_ = false;  // a stop came before the capture handle was in place
    std::vector<std::unique_ptr<CaptureHandle>> retired_;
    std::function<void(const std::string&)> log_;
    std::function<void(const RecordingSession&)> activityObserver_;
};

}  // namespace lumora
