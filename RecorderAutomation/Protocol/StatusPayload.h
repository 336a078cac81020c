#pragma once
// The result of status.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/SessionStatus.h"

namespace recorder {

struct StatusPayload {
    // "ready" when a recording can start; other words are the app's.
    std::string captureReadiness{};
    bool automationEnabled = false;
    // The session asked about, or the active recording; absent when there is none.
    std::optional<SessionStatus> session{};

    nlohmann::json toJSON() const;
    static StatusPayload fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const StatusPayload&) const = default;
};

}  // namespace recorder
