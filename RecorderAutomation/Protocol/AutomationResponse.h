#pragma once
// One response of the protocol, generic over the payload of the command it answers.

#include <string_view>

#include "RecorderAutomation/Protocol/AutomationFailure.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/EmptyPayload.h"
#include "RecorderAutomation/Protocol/DirectDecoder.h"
#include "RecorderAutomation/Protocol/WireObject.h"

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

    // The six keys are read independently; "result" and "error" may each be absent, and neither is
    // checked against "ok". A failure response decodes under every payload type.
    static constexpr auto wireFields() {
        using R = AutomationResponse;
        return wire::fields(wire::required("protocolVersion", &R::protocolVersion),
                            wire::required("requestId", &R::requestID),
                            wire::required("appInstanceId", &R::appInstanceID), wire::required("ok", &R::ok),
                            wire::optional("result", &R::result), wire::optional("error", &R::error));
    }
    RECORDER_WIRE_CODING(AutomationResponse)

    // One line's JSON text; malformed text is a DecodingError like any other fault.
    static AutomationResponse decode(std::string_view line) {
        if (auto direct = wire::decodeDirect<AutomationResponse>(line)) return std::move(*direct);
        return decodeThroughTree(line);
    }
    // The same through nlohmann's tree alone: what decode answers for every frame its direct
    // path (DirectDecoder.h) declines, and the reference it is tested against.
    static AutomationResponse decodeThroughTree(std::string_view line) { return fromJSON(json_coding::parse(line)); }

    bool operator==(const AutomationResponse&) const = default;
};

}  // namespace recorder
