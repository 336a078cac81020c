#include "RecorderAutomation/Protocol/AutomationFailure.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json AutomationFailure::toJSON() const {
    return JSONObjectWriter().put("code", code).put("message", message).put("hint", hint).take();
}

AutomationFailure AutomationFailure::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    return {reader.required<AutomationErrorCode>("code"), reader.required<std::string>("message"),
            reader.optional<std::string>("hint")};
}

}  // namespace recorder
