#pragma once
// The parameters of a start request; the one strict object of the protocol.

#include "RecorderAutomation/Protocol/SourceReference.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct StartParameters {
    SourceReference source{};
    // Automatic stop after this many seconds of capture; absent leaves the app's own limit.
    std::optional<std::int64_t> durationSeconds{};
    bool systemAudio = false;

    // Refuses any other key; absent "systemAudio" reads as false, and it is always written. No
    // range check on the duration.
    static constexpr auto wireFields() {
        using S = StartParameters;
        return wire::strictFields(wire::required("source", &S::source),
                                  wire::optional("durationSeconds", &S::durationSeconds),
                                  wire::defaulted("systemAudio", &S::systemAudio));
    }
    RECORDER_WIRE_CODING(StartParameters)
    bool operator==(const StartParameters&) const = default;
};

}  // namespace recorder
