#include "RecorderAutomation/Protocol/SessionSummary.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json SessionSummary::toJSON() const {
    return JSONObjectWriter()
        .put("state", state)
        .put("origin", origin)
        .put("automationSessionId", automationSessionID)
        .put("elapsedSeconds", elapsedSeconds)
        .take();
}

SessionSummary SessionSummary::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    SessionSummary decoded;
    decoded.state = reader.required<AutomationSessionState>("state");
    decoded.origin = reader.required<std::string>("origin");
    decoded.automationSessionID = reader.optional<std::string>("automationSessionId");
    decoded.elapsedSeconds = reader.optional<double>("elapsedSeconds");
    return decoded;
}

}  // namespace recorder
