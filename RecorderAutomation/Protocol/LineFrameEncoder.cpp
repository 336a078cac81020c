#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

#include "RecorderAutomation/Protocol/AutomationProtocol.h"

namespace recorder::LineFrameEncoder {

std::string encode(const nlohmann::json& value) {
    // nlohmann's objects are sorted maps and it never escapes "/"; no indent keeps it compact.
    std::string json;
    JSONTextWriter::appendTree(json, value);
    return completeFrame(std::move(json));
}

std::string completeFrame(std::string json) {
    if (json.size() > static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes))
        throw LineFrameDecoder::Failure::messageTooLarge(AutomationProtocol::maximumMessageBytes);
    json += '\n';
    return json;
}

}  // namespace recorder::LineFrameEncoder
