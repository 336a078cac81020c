#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

#include "RecorderAutomation/Protocol/AutomationProtocol.h"

namespace recorder::LineFrameEncoder {

std::string encode(const nlohmann::json& value) {
    // nlohmann's objects are sorted maps and it never escapes "/"; no indent keeps it compact.
    std::string frame = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (frame.size() > static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes))
        throw LineFrameDecoder::Failure::messageTooLarge(AutomationProtocol::maximumMessageBytes);
    frame += '\n';
    return frame;
}

}  // namespace recorder::LineFrameEncoder
