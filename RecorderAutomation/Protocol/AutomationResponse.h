#pragma once
// One response of the protocol, generic over the payload of the command it answers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/EmptyPayload.h"
#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

template <class Payload>
struct AutomationResponse {
    std::int64_t protocolVersion = AutomationProtocol::version;
    // The request's identifier, echoed; empty when the server found none in a malformed request.
    std::string requestID;
    std::string appInstanceID;
    bool ok = true;
    std::optional<Payload> result;
    std::optional<AutomationFailure> error;

    AutomationResponse() = default;
    // `ok` is true exactly when no error is given.
    AutomationResponse(std::string requestID, std::string appInstanceID, std::optional<Payload> result,
                       std::optional<AutomationFailure> error = std::nullopt,
                       std::int64_t protocolVersion = AutomationProtocol::version)
        : protocolVersion(protocolVersion),
          requestID(std::move(requestID)),
          appInstanceID(std::move(appInstanceID)),
          ok(!error.has_value()),
          result(std::move(result)),
          error(std::move(error)) {}

    nlohmann::json toJSON() const {
        return JSONObjectWriter()
            .put("protocolVersion", protocolVersion)
            .put("requestId", requestID)
            .put("appInstanceId", appInstanceID)
            .put("ok", ok)
            .put("result", result)
            .put("error", error)
            .take();
    }

    // Reads the six keys independently; "result" and "error" may each be absent, and neither is
    // checked against "ok". A failure response decodes under every payload type.
    static AutomationResponse fromJSON(const nlohmann::json& value, const CodingPath& path = {}) {
        const JSONObjectReader reader(value, path);
        AutomationResponse response;
        response.protocolVersion = reader.required<std::int64_t>("protocolVersion");
        response.requestID = reader.required<std::string>("requestId");
        response.appInstanceID = reader.required<std::string>("appInstanceId");
        response.ok = reader.required<bool>("ok");
        response.result = reader.optional<Payload>("result");
        response.error = reader.optional<AutomationFailure>("error");
        return response;
    }

    // One line's JSON text; malformed text is a DecodingError like any other fault.
    static AutomationResponse decode(std::string_view line) { return fromJSON(json_coding::parse(line)); }

    bool operator==(const AutomationResponse&) const = default;
};

}  // namespace recorder
