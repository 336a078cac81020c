#include "RecorderAutomation/Protocol/StatusPayload.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json StatusPayload::toJSON() const {
    return JSONObjectWriter()
        .put("captureReadiness", captureReadiness)
        .put("automationEnabled", automationEnabled)
        .put("session", session)
        .take();
}

StatusPayload StatusPayload::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    StatusPayload decoded;
    decoded.captureReadiness = reader.required<std::string>("captureReadiness");
    decoded.automationEnabled = reader.required<bool>("automationEnabled");
    decoded.session = reader.optional<SessionStatus>("session");
    return decoded;
}

}  // namespace recorder
