#include "RecorderAutomation/Protocol/DisplaysPayload.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json DisplaysPayload::toJSON() const {
    return JSONObjectWriter()
        .put("displays", displays)
        .take();
}

DisplaysPayload DisplaysPayload::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    DisplaysPayload decoded;
    decoded.displays = reader.required<std::vector<DisplayDescriptor>>("displays");
    return decoded;
}

}  // namespace recorder
