#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"

#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

namespace recorder::AutomationResponseEncoder {

std::string encode(const AutomationReply& reply, std::string_view requestID, std::string_view appInstanceID) {
    return std::visit(
        [&](const auto& value) {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, AutomationReply::Failure>) {
                return LineFrameEncoder::encode(AutomationResponse<EmptyPayload>(
                    std::string(requestID), std::string(appInstanceID), std::nullopt, value.failure));
            } else {
                using Payload = std::decay_t<decltype(value.payload)>;
                return LineFrameEncoder::encode(
                    AutomationResponse<Payload>(std::string(requestID), std::string(appInstanceID), value.payload));
            }
        },
        reply.value());
}

}  // namespace recorder::AutomationResponseEncoder
