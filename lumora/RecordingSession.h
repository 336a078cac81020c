#pragma once
// One recording as Lumora keeps it: started by hand in the app or through automation, from
// preparing to its final state, with what the file measured or why it failed.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/StartParameters.h"
#include "lumora/CaptureBackend.h"

namespace lumora {

enum class RecordingOrigin { automation, manual };

// The texts with which Lumora tells how a recording was started ("origin") and why it ended
// ("endReason").
namespace recording_text {
std::string_view origin(RecordingOrigin origin);
inline constexpr std::string_view stoppedByAutomation = "stopped";
inline constexpr std::string_view stoppedInApp = "stopped_in_app";
inline constexpr std::string_view durationLimit = "duration_limit";
inline constexpr std::string_view appQuit = "app_quit";
}  // namespace recording_text

struct RecordingSession {
    using Clock = std::chrono::steady_clock;

    std::string id;
    RecordingOrigin origin = RecordingOrigin::automation;
    // The start request that made an automated session, for telling a retry from a conflict.
    std::string requestID;
    recorder::StartParameters parameters;

    CaptureDisplay display;
    bool systemAudio = false;
    std::int64_t durationLimitSeconds = 0;
    VideoSize expectedSize;
    std::string outputPath;

    recorder::AutomationSessionState state = recorder::AutomationSessionState::preparing;
    std::optional<Clock::time_point> recordingSince;
    std::optional<Clock::time_point> recordingUntil;
    // Set when somebody asked the recording to end; becomes the end reason once it is saved.
    std::optional<std::string> stopReason;
    std::optional<SavedMedia> saved;
    std::optional<std::string> endReason;
    std::vector<std::string> warnings;
    std::optional<recorder::AutomationFailure> failure;

    bool isFinal() const { return recorder::automation_session_state::isFinal(state); }
    // Seconds of capture so far (or in all, once it ended); nothing before capture began.
    std::optional<double> elapsedSeconds(Clock::time_point now = Clock::now()) const;
};

}  // namespace lumora
