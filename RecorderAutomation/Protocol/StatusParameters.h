#pragma once
// The parameters of a status request: a session to ask about, or none for the active recording.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct StatusParameters {
    std::optional<std::string> sessionID{};

    // An empty object when no session is named.
    nlohmann::json toJSON() const;
    static StatusParameters fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const StatusParameters&) const = default;
};

}  // namespace recorder
