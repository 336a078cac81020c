#pragma once
// What to record: a source kind and the source's identifier (for a display, its "id").

#include "RecorderAutomation/Protocol/SourceKind.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct SourceReference {
    SourceKind kind = SourceKind::display;
    std::string id{};

    // Other keys are ignored.
    static constexpr auto wireFields() {
        return wire::fields(wire::required("kind", &SourceReference::kind), wire::required("id", &SourceReference::id));
    }
    RECORDER_WIRE_CODING(SourceReference)
    bool operator==(const SourceReference&) const = default;
};

}  // namespace recorder
