#pragma once
// The result of result: the saved recording once there is one, the failure when the session failed.

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/SavedRecordingPayload.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct ResultPayload {
    std::string sessionID{};
    AutomationSessionState state = AutomationSessionState::preparing;
    std::optional<SavedRecordingPayload> recording{};
    std::optional<AutomationFailure> failure{};

    static constexpr auto wireFields() {
        using R = ResultPayload;
        return wire::fields(wire::required("sessionId", &R::sessionID), wire::required("state", &R::state),
                            wire::optional("recording", &R::recording), wire::optional("failure", &R::failure));
    }
    RECORDER_WIRE_CODING(ResultPayload)
    bool operator==(const ResultPayload&) const = default;
};

}  // namespace recorder
