#pragma once
// The recording that is active at the moment, as the capabilities report it.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct SessionSummary {
    AutomationSessionState state = AutomationSessionState::preparing;
    // How the recording was started; the app's own words.
    std::string origin{};
    // Present when the recording is an automated session.
    std::optional<std::string> automationSessionID{};
    std::optional<double> elapsedSeconds{};

    nlohmann::json toJSON() const;
    static SessionSummary fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const SessionSummary&) const = default;
};

}  // namespace recorder
