#include "RecorderAutomation/Protocol/StopPayload.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json StopPayload::toJSON() const {
    return JSONObjectWriter()
        .put("sessionId", sessionID)
        .put("state", state)
        .take();
}

StopPayload StopPayload::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    StopPayload decoded;
    decoded.sessionID = reader.required<std::string>("sessionId");
    decoded.state = reader.required<AutomationSessionState>("state");
    return decoded;
}

}  // namespace recorder
