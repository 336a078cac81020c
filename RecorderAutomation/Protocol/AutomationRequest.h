#pragma once
// One request of the protocol: the envelope around one command.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationCommand.h"
#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct AutomationRequest {
    // Not judged when decoding; the app's handler compares it with AutomationProtocol::version.
    std::int64_t protocolVersion = AutomationProtocol::version;
    std::string requestID{};
    // The app instance the client last heard from; absent on a client's first request.
    std::optional<std::string> appInstanceID{};
    AutomationCommand command{};

    // Keys "protocolVersion", "requestId", "appInstanceId" (when present), "command" and, for
    // start, status, stop and result, "parameters".
    nlohmann::json toJSON() const;
    // Lenient envelope (unknown keys ignored); start's parameters are strict.
    static AutomationRequest fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    // One frame's JSON text (without or with its line feed). Any failure, malformed JSON text
    // included, is a DecodingError.
    static AutomationRequest decode(std::string_view frame);

    bool operator==(const AutomationRequest&) const = default;
};

}  // namespace recorder
