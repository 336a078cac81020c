#pragma once
// The result of stop.

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct StopPayload {
    std::string sessionID{};
    AutomationSessionState state = AutomationSessionState::preparing;

    static constexpr auto wireFields() {
        return wire::fields(wire::required("sessionId", &StopPayload::sessionID),
                            wire::required("state", &StopPayload::state));
    }
    RECORDER_WIRE_CODING(StopPayload)
    bool operator==(const StopPayload&) const = default;
};

}  // namespace recorder
