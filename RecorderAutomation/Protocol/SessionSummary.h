#pragma once
// The recording that is active at the moment, as the capabilities report it.

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct SessionSummary {
    AutomationSessionState state = AutomationSessionState::preparing;
    // How the recording was started; the app's own words.
    std::string origin{};
    // Present when the recording is an automated session.
    std::optional<std::string> automationSessionID{};
    std::optional<double> elapsedSeconds{};

    static constexpr auto wireFields() {
        using S = SessionSummary;
        return wire::fields(wire::required("state", &S::state), wire::required("origin", &S::origin),
                            wire::optional("automationSessionId", &S::automationSessionID),
                            wire::optional("elapsedSeconds", &S::elapsedSeconds));
    }
    RECORDER_WIRE_CODING(SessionSummary)
    bool operator==(const SessionSummary&) const = default;
};

}  // namespace recorder
