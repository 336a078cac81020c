#pragma once
// One session as status reports it.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct SessionStatus {
    // Present for automated sessions.
    std::optional<std::string> sessionID{};
    std::string origin{};
    AutomationSessionState state = AutomationSessionState::preparing;
    std::optional<double> elapsedSeconds{};
    std::optional<std::string> sourceName{};

    nlohmann::json toJSON() const;
    static SessionStatus fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const SessionStatus&) const = default;
};

}  // namespace recorder
