#pragma once
// The result of result: the saved recording once there is one, the failure when the session failed.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/SavedRecordingPayload.h"

namespace recorder {

struct ResultPayload {
    std::string sessionID{};
    AutomationSessionState state = AutomationSessionState::preparing;
    std::optional<SavedRecordingPayload> recording{};
    std::optional<AutomationFailure> failure{};

    nlohmann::json toJSON() const;
    static ResultPayload fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const ResultPayload&) const = default;
};

}  // namespace recorder
