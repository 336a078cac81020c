#pragma once
// One session as status reports it.

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct SessionStatus {
    // Present for automated sessions.
    std::optional<std::string> sessionID{};
    std::string origin{};
    AutomationSessionState state = AutomationSessionState::preparing;
    std::optional<double> elapsedSeconds{};
    std::optional<std::string> sourceName{};

    static constexpr auto wireFields() {
        using S = SessionStatus;
        return wire::fields(wire::optional("sessionId", &S::sessionID), wire::required("origin", &S::origin),
                            wire::required("state", &S::state), wire::optional("elapsedSeconds", &S::elapsedSeconds),
                            wire::optional("sourceName", &S::sourceName));
    }
    RECORDER_WIRE_CODING(SessionStatus)
    bool operator==(const SessionStatus&) const = default;
};

}  // namespace recorder
