// Arbitrary lines decoded as a response of every payload type, as a client would read them. A
// fault is always a DecodingError; a decoded response re-encodes into one frame that decodes to
// an equal response, written with the same bytes as the response's tree.

#include <cstdint>
#include <string>
#include <string_view>

#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/EmptyPayload.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "RecorderAutomation/Protocol/SessionReceipt.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"
#include "fuzz/FuzzCheck.h"

namespace {

using namespace recorder;

template <class Payload>
void roundTrip(std::string_view line) {
    using Response = AutomationResponse<Payload>;
    Response response;
    try {
        response = Response::decode(line);
    } catch (const DecodingError& error) {
        FUZZ_CHECK(!error.localizedDescription().empty());
        return;
    }
    std::string frame;
    try {
        frame = LineFrameEncoder::encode(response);
    } catch (const LineFrameDecoder::Failure&) {
        FUZZ_CHECK(response.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size() >
                   static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes));
        return;
    }
    FUZZ_CHECK(frame.size() <= static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes) + 1);
    FUZZ_CHECK(frame.find('\n') == frame.size() - 1);
    // Written straight from the field tables, it must be the very bytes of the tree's dump.
    FUZZ_CHECK(frame == LineFrameEncoder::encode(nlohmann::json(response.toJSON())));
    Response again;
    try {
        again = Response::decode(frame);
    } catch (const DecodingError&) {
        FUZZ_CHECK(!"a re-encoded response must decode");
    }
    FUZZ_CHECK(again == response);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    roundTrip<CapabilitiesPayload>(line);
    roundTrip<DisplaysPayload>(line);
    roundTrip<SessionReceipt>(line);
    roundTrip<StatusPayload>(line);
    roundTrip<StopPayload>(line);
    roundTrip<ResultPayload>(line);
    roundTrip<EmptyPayload>(line);
    return 0;
}
