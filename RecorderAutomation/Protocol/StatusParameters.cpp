#include "RecorderAutomation/Protocol/StatusParameters.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json StatusParameters::toJSON() const { return JSONObjectWriter().put("sessionId", sessionID).take(); }

StatusParameters StatusParameters::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    return {JSONObjectReader(value, path).optional<std::string>("sessionId")};
}

}  // namespace recorder
