#pragma once
// One request of the protocol: the envelope around one command.

#include <string_view>

#include "RecorderAutomation/Protocol/AutomationCommand.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/DirectDecoder.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct AutomationRequest {
    // Not judged when decoding; the app's handler compares it with AutomationProtocol::version.
    std::int64_t protocolVersion = AutomationProtocol::version;
    std::string requestID{};
    // The app instance the client last heard from; absent on a client's first request.
    std::optional<std::string> appInstanceID{};
    AutomationCommand command{};

    // A lenient envelope (unknown keys ignored) whose "command" and "parameters" are the command's.
    static constexpr auto wireFields() {
        using R = AutomationRequest;
        return wire::fields(wire::required("protocolVersion", &R::protocolVersion),
                            wire::required("requestId", &R::requestID),
                            wire::optional("appInstanceId", &R::appInstanceID), wire::inlined(&R::command));
    }
    RECORDER_WIRE_CODING(AutomationRequest)
    // One frame's JSON text (without or with its line feed). Any failure, malformed JSON text
    // included, is a DecodingError.
    static AutomationRequest decode(std::string_view frame) {
        if (auto direct = wire::decodeDirect<AutomationRequest>(frame)) return std::move(*direct);
        return decodeThroughTree(frame);
    }
    // The same through nlohmann's tree alone: what decode answers for every frame its direct
    // path (DirectDecoder.h) declines, and the reference it is tested against.
    static AutomationRequest decodeThroughTree(std::string_view frame) { return fromJSON(json_coding::parse(frame)); }

    bool operator==(const AutomationRequest&) const = default;
};

}  // namespace recorder
