#pragma once
// The result of start: the new automated session. Capture is confirmed only once status reports recording.

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/SourceReference.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct SessionReceipt {
    std::string sessionID{};
    AutomationSessionState state = AutomationSessionState::preparing;
    SourceReference source{};
    std::string sourceName{};
    bool systemAudio = false;
    // When the recording stops by itself, in seconds of capture.
    std::int64_t durationLimitSeconds = 0;
    std::int64_t expectedWidth = 0;
    std::int64_t expectedHeight = 0;

    static constexpr auto wireFields() {
        using R = SessionReceipt;
        return wire::fields(wire::required("sessionId", &R::sessionID), wire::required("state", &R::state),
                            wire::required("source", &R::source), wire::required("sourceName", &R::sourceName),
                            wire::required("systemAudio", &R::systemAudio),
                            wire::required("durationLimitSeconds", &R::durationLimitSeconds),
                            wire::required("expectedWidth", &R::expectedWidth),
                            wire::required("expectedHeight", &R::expectedHeight));
    }
    RECORDER_WIRE_CODING(SessionReceipt)
    bool operator==(const SessionReceipt&) const = default;
};

}  // namespace recorder
