#pragma once
// The parameters of stop and result: the session they concern.

#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct SessionParameters {
    std::string sessionID{};

    static constexpr auto wireFields() {
        return wire::fields(wire::required("sessionId", &SessionParameters::sessionID));
    }
    RECORDER_WIRE_CODING(SessionParameters)
    bool operator==(const SessionParameters&) const = default;
};

}  // namespace recorder
