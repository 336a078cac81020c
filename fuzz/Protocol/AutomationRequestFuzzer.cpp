// Arbitrary bytes as the server receives them: split into frames, each decoded as a request. The
// direct decoder and the tree path answer alike (value, or error and its text); a decoding fault
// is always a DecodingError; a decoded request re-encodes into one frame within
// the limit, written with the same bytes as the request's tree, and that frame decodes to an
// equal request.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "fuzz/FuzzCheck.h"

namespace {

using namespace recorder;

std::string treeText(const AutomationRequest& request) {
    return request.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void roundTrip(std::string_view frame) {
    // What the tree path alone answers; the direct decoder, when it answers, must answer the same.
    std::optional<AutomationRequest> tree;
    std::string treeError;
    try {
        tree = AutomationRequest::decodeThroughTree(frame);
    } catch (const DecodingError& error) {
        treeError = error.localizedDescription();
    }
    if (const auto direct = wire::decodeDirect<AutomationRequest>(frame)) {
        FUZZ_CHECK(tree.has_value());
        FUZZ_CHECK(*direct == *tree);
        FUZZ_CHECK(treeText(*direct) == treeText(*tree));
    }
    AutomationRequest request;
    try {
        request = AutomationRequest::decode(frame);
    } catch (const DecodingError& error) {
        FUZZ_CHECK(!error.localizedDescription().empty());
        FUZZ_CHECK(!tree.has_value() && error.localizedDescription() == treeError);
        return;
    }
    FUZZ_CHECK(tree.has_value() && request == *tree && treeText(request) == treeText(*tree));
    std::string encoded;
    try {
        encoded = LineFrameEncoder::encode(request);
    } catch (const LineFrameDecoder::Failure& failure) {
        // Only a request whose text outgrew the limit (escapes can lengthen it) may be refused.
        FUZZ_CHECK(failure == LineFrameDecoder::Failure::messageTooLarge(AutomationProtocol::maximumMessageBytes));
        FUZZ_CHECK(request.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size() >
                   static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes));
        return;
    }
    FUZZ_CHECK(encoded.size() <= static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes) + 1);
    FUZZ_CHECK(encoded.back() == '\n');
    FUZZ_CHECK(encoded.find('\n') == encoded.size() - 1);
    // Written straight from the field tables, it must be the very bytes of the request's tree.
    FUZZ_CHECK(encoded == LineFrameEncoder::encode(nlohmann::json(request.toJSON())));
    AutomationRequest again;
    try {
        again = AutomationRequest::decode(encoded);
    } catch (const DecodingError&) {
        FUZZ_CHECK(!"a re-encoded request must decode");
    }
    FUZZ_CHECK(again == request);
    FUZZ_CHECK(LineFrameEncoder::encode(again) == encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    LineFrameDecoder decoder(AutomationProtocol::maximumMessageBytes);
    try {
        for (const auto& frame : decoder.append(bytes)) {
            FUZZ_CHECK(frame.size() <= static_cast<std::size_t>(AutomationProtocol::maximumMessageBytes));
            roundTrip(frame);
        }
    } catch (const LineFrameDecoder::Failure&) {
    }
    // The whole input as one frame too, so that inputs without a line feed are decoded.
    if (bytes.find('\n') == std::string_view::npos) roundTrip(bytes);
    return 0;
}
