#include "RecorderAutomation/Protocol/AutomationRequest.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json AutomationRequest::toJSON() const {
    nlohmann::json object = command.toJSON();
    object["protocolVersion"] = protocolVersion;
    object["requestId"] = requestID;
    if (appInstanceID) object["appInstanceId"] = *appInstanceID;
    return object;
}

AutomationRequest AutomationRequest::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    AutomationRequest request;
    request.protocolVersion = reader.required<std::int64_t>("protocolVersion");
    request.requestID = reader.required<std::string>("requestId");
    request.appInstanceID = reader.optional<std::string>("appInstanceId");
    request.command = AutomationCommand::fromJSON(value, path);
    return request;
}

AutomationRequest AutomationRequest::decode(std::string_view frame) { return fromJSON(json_coding::parse(frame)); }

}  // namespace recorder
