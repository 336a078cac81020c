#pragma once
// The result of displays: the displays that can be recorded, the default one first.

#include "RecorderAutomation/Protocol/DisplayDescriptor.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct DisplaysPayload {
    std::vector<DisplayDescriptor> displays{};

    static constexpr auto wireFields() { return wire::fields(wire::required("displays", &DisplaysPayload::displays)); }
    RECORDER_WIRE_CODING(DisplaysPayload)
    bool operator==(const DisplaysPayload&) const = default;
};

}  // namespace recorder
