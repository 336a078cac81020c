#include "RecorderAutomation/Protocol/StartParameters.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"
#include "RecorderAutomation/Protocol/StrictKeys.h"

namespace recorder {

nlohmann::json StartParameters::toJSON() const {
    return JSONObjectWriter()
        .put("source", source)
        .put("durationSeconds", durationSeconds)
        .put("systemAudio", systemAudio)
        .take();
}

StartParameters StartParameters::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    StrictKeys::rejectUnknownKeysIn(value, {"source", "durationSeconds", "systemAudio"}, path);
    StartParameters parameters;
    parameters.source = reader.required<SourceReference>("source");
    parameters.durationSeconds = reader.optional<std::int64_t>("durationSeconds");
    parameters.systemAudio = reader.optional<bool>("systemAudio").value_or(false);
    return parameters;
}

}  // namespace recorder
