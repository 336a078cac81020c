#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

#include "RecorderAutomation/Protocol/AutomationProtocol.h"

#include <cmath>
#include <vector>

namespace recorder::LineFrameEncoder {

namespace {
bool holdsNonFiniteNumber(const nlohmann::json& root) {
    std::vector<const nlohmann::json*> pending{&root};
    while (!pending.empty()) {
        const nlohmann::json* value = pending.back();
        pending.pop_back();
        if (value->is_number_float() && !std::isfinite(value->get<double>())) return true;
        if (value->is_structured())
            for (const auto& element : *value) pending.push_back(&element);
    }
    return false;
}
}  // namespace

std::string encode(const nlohmann::json& value) {
    if (holdsNonFiniteNumber(value))
        throw EncodingError("The value holds a non-finite number (NaN or infinity), which JSON cannot represent.");
    // nlohmann's objects are sorted maps and it never escapes "/"; no indent keeps it compact.
    std::string frame = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (frame.size() > static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes))
        throw LineFrameDecoder::Failure::messageTooLarge(AutomationProtocol::maximumMessageBytes);
    frame += '\n';
    return frame;
}

}  // namespace recorder::LineFrameEncoder
