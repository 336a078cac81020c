#pragma once
// The parameters of stop and result: the session they concern.

#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct SessionParameters {
    std::string sessionID{};

    nlohmann::json toJSON() const;
    static SessionParameters fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const SessionParameters&) const = default;
};

}  // namespace recorder
