#include "RecorderAutomation/Protocol/SessionParameters.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json SessionParameters::toJSON() const { return JSONObjectWriter().put("sessionId", sessionID).take(); }

SessionParameters SessionParameters::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    return {JSONObjectReader(value, path).required<std::string>("sessionId")};
}

}  // namespace recorder
