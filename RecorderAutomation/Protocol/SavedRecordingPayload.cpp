#include "RecorderAutomation/Protocol/SavedRecordingPayload.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json SavedRecordingPayload::toJSON() const {
    return JSONObjectWriter()
        .put("path", path)
        .put("durationSeconds", durationSeconds)
        .put("width", width)
        .put("height", height)
        .put("bytes", bytes)
        .put("endReason", endReason)
        .put("warnings", warnings)
        .take();
}

SavedRecordingPayload SavedRecordingPayload::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    SavedRecordingPayload decoded;
    decoded.path = reader.required<std::string>("path");
    decoded.durationSeconds = reader.required<double>("durationSeconds");
    decoded.width = reader.required<std::int64_t>("width");
    decoded.height = reader.required<std::int64_t>("height");
    decoded.bytes = reader.required<std::int64_t>("bytes");
    decoded.endReason = reader.optional<std::string>("endReason");
    decoded.warnings = reader.required<std::vector<std::string>>("warnings");
    return decoded;
}

}  // namespace recorder
