#include "RecorderAutomation/Protocol/DisplayDescriptor.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json DisplayDescriptor::toJSON() const {
    return JSONObjectWriter()
        .put("id", id)
        .put("name", name)
        .put("pixelWidth", pixelWidth)
        .put("pixelHeight", pixelHeight)
        .put("pointWidth", pointWidth)
        .put("pointHeight", pointHeight)
        .put("scale", scale)
        .put("isDefault", isDefault)
        .take();
}

DisplayDescriptor DisplayDescriptor::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    DisplayDescriptor decoded;
    decoded.id = reader.required<std::string>("id");
    decoded.name = reader.required<std::string>("name");
    decoded.pixelWidth = reader.required<std::int64_t>("pixelWidth");
    decoded.pixelHeight = reader.required<std::int64_t>("pixelHeight");
    decoded.pointWidth = reader.optional<double>("pointWidth");
    decoded.pointHeight = reader.optional<double>("pointHeight");
    decoded.scale = reader.optional<double>("scale");
    decoded.isDefault = reader.required<bool>("isDefault");
    return decoded;
}

}  // namespace recorder
