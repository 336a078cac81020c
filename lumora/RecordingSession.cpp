#include "lumora/RecordingSession.h"

namespace lumora {

std::string_view recording_text::origin(RecordingOrigin origin) {
    return origin == RecordingOrigin::manual ? "manual" : "automation";
}

std::optional<double> RecordingSession::elapsedSeconds(Clock::time_point now) const {
    if (saved) return saved->durationSeconds;
    if (!recordingSince) return std::nullopt;
    auto end = recordingUntil.value_or(now);
    return std::chrono::duration<double>(end - *recordingSince).count();
}

}  // namespace lumora
