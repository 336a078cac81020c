#include "lumora/Recorder.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "lumora/RandomIdentifier.h"
#include "lumora/Refusals.h"

namespace lumora {
namespace {

// "Lumora 2026-12-07 at 23.41.05.mp4", with " (2)" and so on for a name taken already.
std::filesystem::path freshOutputPath(const std::filesystem::path& folder) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "Lumora %Y-%m-%d at %H.%M.%S", &local);
    for (int n = 1;; ++n) {
        auto name = std::string(stamp) + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".mp4";
        auto path = folder / name;
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) return path;
    }
}

// Creates the folder if needed and checks that files can be written there.
std::optional<std::string> unusableFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) return ec.message();
    if (!std::filesystem::is_directory(folder, ec)) return "it is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return std::nullopt;
}

}  // namespace

Recorder::Recorder(std::shared_ptr<CaptureBackend> backend, std::size_t capacity)
    : backend_(std::move(backend)), store_(capacity) {}

Recorder::~Recorder() {
    finish(std::string(recording_text::appQuit), std::chrono::seconds(20));
    std::unique_ptr<CaptureHandle> active;
    std::vector<std::unique_ptr<CaptureHandle>> retired;
    {
        std::lock_guard lock(mutex_);
        active = std::move(activeCapture_);
        retired = std::move(retired_);
    }
    // Destroyed outside the lock: a capture's thread may still want it for its last report.
    active.reset();
    retired.clear();
}

void Recorder::setLog(std::function<void(const std::string&)> log) {
    std::lock_guard lock(mutex_);
    log_ = std::move(log);
}

void Recorder::logLocked(const std::string& line) {
    if (log_) log_(line);
}

void Recorder::setActivityObserver(std::function<void(const RecordingSession&)> observer) {
    std::lock_guard lock(mutex_);
    activityObserver_ = std::move(observer);
}

void Recorder::reportLocked(const RecordingSession& session) {
    if (activityObserver_) activityObserver_(session);
}

Recorder::Answer Recorder::start(const StartOrder& order) {
    std::unique_lock lock(mutex_);
    return startLocked(lock, order);
}

Recorder::Answer Recorder::startLocked(std::unique_lock<std::mutex>& lock, const StartOrder& order) {
    if (order.origin == RecordingOrigin::automation) {
        if (auto* earlier = store_.findByRequestID(order.requestID)) {
            if (earlier->parameters == order.parameters) return *earlier;
            return refusals::idempotencyConflict(order.requestID);
        }
    }
    if (activeID_) {
        auto* current = store_.find(*activeID_);
        if (current && current->state == recorder::AutomationSessionState::stopping) return refusals::busySaving();
        return refusals::busyRecording(current && current->origin == RecordingOrigin::manual);
    }
    if (auto problem = unusableFolder(order.outputFolder))
        return refusals::destinationUnavailable(order.outputFolder.string(), *problem);
    std::error_code spaceUnknown;
    const auto space = std::filesystem::space(order.outputFolder, spaceUnknown);
    if (!spaceUnknown && space.available < minimumFreeBytes)
        return refusals::destinationFull(order.outputFolder.string(), space.available, minimumFreeBytes);
    if (!store_.makeRoom()) return refusals::capacityExceeded(store_.capacity());

    RecordingSession session;
    session.id = randomIdentifier();
    session.origin = order.origin;
    session.requestID = order.requestID;
    session.parameters = order.parameters;
    session.display = order.display;
    session.systemAudio = order.systemAudio;
    session.durationLimitSeconds = order.durationLimitSeconds;
    session.expectedSize = fittedOutputSize(order.display.pixelWidth, order.display.pixelHeight);
    session.outputPath = freshOutputPath(order.outputFolder).string();
    auto& stored = store_.insert(session);
    activeID_ = stored.id;
    stopPending_ = false;
    // Captures released earlier have ended; their threads are joined here, outside any report.
    auto retired = std::move(retired_);
    retired_.clear();

    CaptureRequest request;
    request.display = order.display;
    request.outputPath = stored.outputPath;
    request.durationLimitSeconds = order.durationLimitSeconds;
    request.systemAudio = order.systemAudio;
    request.outputWidth = stored.expectedSize.width;
    request.outputHeight = stored.expectedSize.height;
    request.frameRate = order.frameRate;
    request.failure = order.failure;
    const std::string id = stored.id;
    logLocked("Recording " + std::string(recording_text::origin(order.origin)) + " session " + id + " of " +
              order.display.name + " to " + stored.outputPath);
    reportLocked(stored);

    // The capture is started without the lock: a back end may report at once.
    lock.unlock();
    retired.clear();
    auto capture = backend_->start(request, {[this, id] { captureStarted(id); },
                                             [this, id](CaptureOutcome outcome, CaptureEnd end) {
                                                 captureFinished(id, std::move(outcome), end);
                                             }});
    lock.lock();
    if (activeID_ == id) {
        activeCapture_ = std::move(capture);
        if (stopPending_) activeCapture_->stop();
    } else {
        retired_.push_back(std::move(capture));  // it ended already
    }
    return *store_.find(id);
}

Recorder::Answer Recorder::stop(const std::string& sessionID, bool byAutomation) {
    std::lock_guard lock(mutex_);
    auto* session = store_.find(sessionID);
    if (!session) return refusals::sessionNotFound(sessionID);
    if (byAutomation && session->origin == RecordingOrigin::manual) return refusals::sessionNotOwned();
    requestStopLocked(*session,
                      std::string(byAutomation ? recording_text::stoppedByAutomation : recording_text::stoppedInApp));
    return *session;
}

void Recorder::requestStopLocked(RecordingSession& session, const std::string& reason) {
    using State = recorder::AutomationSessionState;
    if (session.state != State::preparing && session.state != State::recording) return;
    session.state = State::stopping;
    session.stopReason = reason;
    if (session.recordingSince && !session.recordingUntil) session.recordingUntil = RecordingSession::Clock::now();
    if (activeID_ == session.id) {
        if (activeCapture_)
            activeCapture_->stop();
        else
            stopPending_ = true;
    }
    reportLocked(session);
    changed_.notify_all();
}

std::optional<RecordingSession> Recorder::session(const std::string& sessionID) const {
    std::lock_guard lock(mutex_);
    const auto* s = store_.find(sessionID);
    if (!s) return std::nullopt;
    return *s;
}

std::optional<RecordingSession> Recorder::active() const {
    std::lock_guard lock(mutex_);
    if (!activeID_) return std::nullopt;
    const auto* s = store_.find(*activeID_);
    if (!s) return std::nullopt;
    return *s;
}

std::string Recorder::toggleByUser(const StartOrder& manualOrder) {
    std::unique_lock lock(mutex_);
    if (activeID_) {
        auto* current = store_.find(*activeID_);
        if (current) {
            requestStopLocked(*current, std::string(recording_text::stoppedInApp));
            return "Stopping session " + current->id + " at the user's request.";
        }
    }
    auto answer = startLocked(lock, manualOrder);
    if (auto* failure = std::get_if<recorder::AutomationFailure>(&answer))
        return "The recording could not be started: " + failure->message;
    return "Recording started by the user: session " + std::get<RecordingSession>(answer).id + ".";
}

bool Recorder::finish(const std::string& reason, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (activeID_) {
        if (auto* current = store_.find(*activeID_)) requestStopLocked(*current, reason);
    }
    return changed_.wait_for(lock, timeout, [&] { return !activeID_.has_value(); });
}

void Recorder::captureStarted(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto* s = store_.find(id);
    if (!s || s->state != recorder::AutomationSessionState::preparing) return;
    s->state = recorder::AutomationSessionState::recording;
    s->recordingSince = RecordingSession::Clock::now();
    logLocked("● Recording: session " + id + " is capturing " + s->display.name + ".");
    reportLocked(*s);
    changed_.notify_all();
}

void Recorder::captureFinished(const std::string& id, CaptureOutcome outcome, CaptureEnd end) {
    using State = recorder::AutomationSessionState;
    std::lock_guard lock(mutex_);
    auto* s = store_.find(id);
    if (s) {
        const auto now = RecordingSession::Clock::now();
        if (s->recordingSince && !s->recordingUntil) s->recordingUntil = now;
        if (auto* media = std::get_if<SavedMedia>(&outcome)) {
            s->state = State::saved;
            s->saved = *media;
            s->endReason = end == CaptureEnd::durationLimit
                               ? std::string(recording_text::durationLimit)
                               : s->stopReason.value_or(std::string(recording_text::stoppedByAutomation));
            logLocked("Saved session " + id + ": " + media->path.string() + ".");
        } else if (auto* error = std::get_if<CaptureError>(&outcome)) {
            s->state = State::failed;
            s->failure = recorder::AutomationFailure(
                error->code, error->message,
                error->hint ? error->hint
                : error->code == recorder::AutomationErrorCode::finalizationFailed
                    ? std::optional<std::string>(
                          "Start a new recording; if saving keeps failing, ask the user to check "
                          "the folder for recordings and the free disk space.")
                    : std::optional<std::string>("Check that the display is still connected and start a new recording; "
                                                 "if capture keeps failing, ask the user to check Lumora."));
            logLocked("Session " + id + " failed: " + error->message);
        } else {
            s->state = State::cancelled;
            s->endReason = s->stopReason;
            logLocked("Session " + id + " was stopped before capture began; nothing was saved.");
        }
        reportLocked(*s);
    }
    if (activeID_ == id) {
        activeID_.reset();
        if (activeCapture_) retired_.push_back(std::move(activeCapture_));
    }
    changed_.notify_all();
}

}  // namespace lumora
