#include "RecorderAutomation/Protocol/SessionStatus.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json SessionStatus::toJSON() const {
    return JSONObjectWriter()
        .put("sessionId", sessionID)
        .put("origin", origin)
        .put("state", state)
        .put("elapsedSeconds", elapsedSeconds)
        .put("sourceName", sourceName)
        .take();
}

SessionStatus SessionStatus::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    SessionStatus decoded;
    decoded.sessionID = reader.optional<std::string>("sessionId");
    decoded.origin = reader.required<std::string>("origin");
    decoded.state = reader.required<AutomationSessionState>("state");
    decoded.elapsedSeconds = reader.optional<double>("elapsedSeconds");
    decoded.sourceName = reader.optional<std::string>("sourceName");
    return decoded;
}

}  // namespace recorder
