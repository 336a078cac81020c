#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"

#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

namespace recorder::AutomationResponseEncoder {

namespace {

// `replyValue` is the reply's variant, const or about to be dropped; its payload is copied or
// moved into the response accordingly.
template <class ReplyValue>
std::string encodeValue(ReplyValue&& replyValue, std::string_view requestID, std::string_view appInstanceID) {
    return std::visit(
        [&](auto&& value) {
            using Case = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Case, AutomationReply::Failure>) {
                return LineFrameEncoder::encode(AutomationResponse<EmptyPayload>(
                    std::string(requestID), std::string(appInstanceID), std::nullopt, value.failure));
            } else {
                using Payload = std::decay_t<decltype(value.payload)>;
                return LineFrameEncoder::encode(AutomationResponse<Payload>(
                    std::string(requestID), std::string(appInstanceID), std::forward<decltype(value)>(value).payload));
            }
        },
        std::forward<ReplyValue>(replyValue));
}

}  // namespace

std::string encode(const AutomationReply& reply, std::string_view requestID, std::string_view appInstanceID) {
    return encodeValue(reply.value(), requestID, appInstanceID);
}

std::string encode(AutomationReply&& reply, std::string_view requestID, std::string_view appInstanceID) {
    return encodeValue(std::move(reply).value(), requestID, appInstanceID);
}

}  // namespace recorder::AutomationResponseEncoder
