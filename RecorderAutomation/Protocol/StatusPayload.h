#pragma once
// The result of status.

#include "RecorderAutomation/Protocol/SessionStatus.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct StatusPayload {
    // "ready" when a recording can start; other words are the app's.
    std::string captureReadiness{};
    bool automationEnabled = false;
    // The session asked about, or the active recording; absent when there is none.
    std::optional<SessionStatus> session{};

    static constexpr auto wireFields() {
        using S = StatusPayload;
        return wire::fields(wire::required("captureReadiness", &S::captureReadiness),
                            wire::required("automationEnabled", &S::automationEnabled),
                            wire::optional("session", &S::session));
    }
    RECORDER_WIRE_CODING(StatusPayload)
    bool operator==(const StatusPayload&) const = default;
};

}  // namespace recorder
