#pragma once
// The parameters of a status request: a session to ask about, or none for the active recording.

#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct StatusParameters {
    std::optional<std::string> sessionID{};

    // An empty object when no session is named.
    static constexpr auto wireFields() {
        return wire::fields(wire::optional("sessionId", &StatusParameters::sessionID));
    }
    RECORDER_WIRE_CODING(StatusParameters)
    bool operator==(const StatusParameters&) const = default;
};

}  // namespace recorder
