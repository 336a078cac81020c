#pragma once
// The result of stop.

#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct StopPayload {
    std::string sessionID{};
    AutomationSessionState state = AutomationSessionState::preparing;

    nlohmann::json toJSON() const;
    static StopPayload fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const StopPayload&) const = default;
};

}  // namespace recorder
