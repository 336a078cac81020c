#include "RecorderAutomation/Protocol/ResultPayload.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json ResultPayload::toJSON() const {
    return JSONObjectWriter()
        .put("sessionId", sessionID)
        .put("state", state)
        .put("recording", recording)
        .put("failure", failure)
        .take();
}

ResultPayload ResultPayload::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    ResultPayload decoded;
    decoded.sessionID = reader.required<std::string>("sessionId");
    decoded.state = reader.required<AutomationSessionState>("state");
    decoded.recording = reader.optional<SavedRecordingPayload>("recording");
    decoded.failure = reader.optional<AutomationFailure>("failure");
    return decoded;
}

}  // namespace recorder
