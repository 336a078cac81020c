#pragma once
// The payload type of a failure response, whose result is absent.

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct EmptyPayload {
    nlohmann::json toJSON() const { return nlohmann::json::object(); }
    // Accepts any value without reading it.
    static EmptyPayload fromJSON(const nlohmann::json&, const CodingPath& = {}) { return {}; }
    bool operator==(const EmptyPayload&) const = default;
};

}  // namespace recorder
