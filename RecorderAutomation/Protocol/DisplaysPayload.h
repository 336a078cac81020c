#pragma once
// The result of displays: the displays that can be recorded, the default one first.

#include <vector>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/DisplayDescriptor.h"

namespace recorder {

struct DisplaysPayload {
    std::vector<DisplayDescriptor> displays{};

    nlohmann::json toJSON() const;
    static DisplaysPayload fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const DisplaysPayload&) const = default;
};

}  // namespace recorder
