#include "RecorderAutomation/Protocol/SessionReceipt.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json SessionReceipt::toJSON() const {
    return JSONObjectWriter()
        .put("sessionId", sessionID)
        .put("state", state)
        .put("source", source)
        .put("sourceName", sourceName)
        .put("systemAudio", systemAudio)
        .put("durationLimitSeconds", durationLimitSeconds)
        .put("expectedWidth", expectedWidth)
        .put("expectedHeight", expectedHeight)
        .take();
}

SessionReceipt SessionReceipt::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    SessionReceipt decoded;
    decoded.sessionID = reader.required<std::string>("sessionId");
    decoded.state = reader.required<AutomationSessionState>("state");
    decoded.source = reader.required<SourceReference>("source");
    decoded.sourceName = reader.required<std::string>("sourceName");
    decoded.systemAudio = reader.required<bool>("systemAudio");
    decoded.durationLimitSeconds = reader.required<std::int64_t>("durationLimitSeconds");
    decoded.expectedWidth = reader.required<std::int64_t>("expectedWidth");
    decoded.expectedHeight = reader.required<std::int64_t>("expectedHeight");
    return decoded;
}

}  // namespace recorder
