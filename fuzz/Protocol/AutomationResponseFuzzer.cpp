// Arbitrary lines decoded as a response of every payload type, as a client would read them. The
// direct decoder and the tree path answer alike (value, or error and its text); a fault is always
// a DecodingError; a decoded response re-encodes into one frame that decodes to
// an equal response, written with the same bytes as the response's tree.

#include <cstdint>
#include <optional>
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
    const auto treeText = [](const Response& value) {
        return value.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    // What the tree path alone answers; the direct decoder, when it answers, must answer the same.
    std::optional<Response> tree;
    std::string treeError;
    try {
        tree = Response::decodeThroughTree(line);
    } catch (const DecodingError& error) {
        treeError = error.localizedDescription();
    }
    if (const auto direct = wire::decodeDirect<Response>(line)) {
        FUZZ_CHECK(tree.has_value());
        FUZZ_CHECK(*direct == *tree);
        FUZZ_CHECK(treeText(*direct) == treeText(*tree));
    }
    Response response;
    try {
        response = Response::decode(line);
    } catch (const DecodingError& error) {
        FUZZ_CHECK(!error.localizedDescription().empty());
        FUZZ_CHECK(!tree.has_value() && error.localizedDescription() == treeError);
        return;
    }
    FUZZ_CHECK(tree.has_value() && response == *tree && treeText(response) == treeText(*tree));
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
