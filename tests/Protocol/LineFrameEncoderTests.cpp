#include "RecorderAutomation/Protocol/LineFrameEncoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"

namespace recorder {
namespace {

using nlohmann::json;

// A JSON text value whose compact form is exactly `bytes` long (its two quotes included).
json textOfJSONLength(std::size_t bytes) { return json(std::string(bytes - 2, 'x')); }

std::vector<std::string> keysOf(const std::string& frame) {
    const json object = json::parse(frame);
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

TEST(LineFrameEncoder, WritesCompactSortedJSONAndOneLineFeed) {
    const json value = json::parse(R"({"b":{"z":1,"a":[true,null,"x\ny"]},"a":"q"})");
    EXPECT_EQ(LineFrameEncoder::encode(value), "{\"a\":\"q\",\"b\":{\"a\":[true,null,\"x\\ny\"],\"z\":1}}\n");
}

TEST(LineFrameEncoder, AcceptsJSONOfExactlyTheLimitAndRefusesOneByteMore) {
    const std::string frame = LineFrameEncoder::encode(textOfJSONLength(65536));
    EXPECT_EQ(frame.size(), 65537u);
    EXPECT_EQ(frame.back(), '\n');
    try {
        LineFrameEncoder::encode(textOfJSONLength(65537));
        FAIL() << "expected messageTooLarge";
    } catch (const LineFrameDecoder::Failure& failure) {
        EXPECT_EQ(failure, LineFrameDecoder::Failure::messageTooLarge(65536));
    }
}

TEST(LineFrameEncoder, RefusesAnOversizedRequestOrReply) {
    const AutomationRequest request{1, std::string(70000, 'r'), std::nullopt, AutomationCommand::displays()};
    EXPECT_THROW(LineFrameEncoder::encode(request), LineFrameDecoder::Failure);
    const auto reply = AutomationReply::failure({AutomationErrorCode::busy, std::string(70000, 'm')});
    EXPECT_THROW(AutomationResponseEncoder::encode(reply, "r", "i"), LineFrameDecoder::Failure);
}

TEST(LineFrameEncoder, WritesSlashesPlainly) {
    SavedRecordingPayload recording{"/Users/a/Movies/x.mp4", 1, 2, 3, 4, {}, {}};
    const std::string frame = LineFrameEncoder::encode(recording);
    EXPECT_NE(frame.find("\"path\":\"/Users/a/Movies/x.mp4\""), std::string::npos) << frame;
}

TEST(LineFrameEncoder, ReplacesInvalidUTF8SoTheFrameStaysValidJSON) {
    const std::string frame = LineFrameEncoder::encode(json{{"message", std::string("a\xff"
                                                                                    "b\xc3")}});
    EXPECT_EQ(frame,
              "{\"message\":\"a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\"}\n");
    EXPECT_EQ(json::parse(frame).at("message"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    // Valid UTF-8 stays as it is, unescaped.
    EXPECT_EQ(LineFrameEncoder::encode(json("Bildschirm für Käse")), "\"Bildschirm für Käse\"\n");
}

TEST(LineFrameEncoder, RefusesNonFiniteNumbersInsteadOfWritingNull) {
    SavedRecordingPayload recording{"/p", std::nan(""), 1, 1, 1, {}, {}};
    EXPECT_THROW(LineFrameEncoder::encode(recording), LineFrameEncoder::EncodingError);
    const json nested{{"a", json::array({1, json{{"b", HUGE_VAL}}})}};
    EXPECT_THROW(LineFrameEncoder::encode(nested), LineFrameEncoder::EncodingError);
    EXPECT_EQ(LineFrameEncoder::encode(json{{"a", 2.5}}), "{\"a\":2.5}\n");
}

TEST(LineFrameEncoder, RequestKeysAreSortedOnTheWire) {
    const AutomationRequest request{1, "r", "i", AutomationCommand::stop({"s"})};
    EXPECT_EQ(keysOf(LineFrameEncoder::encode(request)),
              (std::vector<std::string>{"appInstanceId", "command", "parameters", "protocolVersion", "requestId"}));
}

TEST(AutomationResponseEncoder, FailureReplyCarriesExactlyFiveKeysInOrder) {
    const auto frame = AutomationResponseEncoder::encode(
        AutomationReply::failure({AutomationErrorCode::invalidRequest, "no", "fix"}), "req", "inst");
    EXPECT_EQ(
        frame,
        "{\"appInstanceId\":\"inst\",\"error\":{\"code\":\"invalid_request\",\"hint\":\"fix\",\"message\":\"no\"},"
        "\"ok\":false,\"protocolVersion\":1,\"requestId\":\"req\"}\n");
}

TEST(AutomationResponseEncoder, EverySuccessCaseWritesItsPayloadAsResult) {
    const StopPayload stop{"s", AutomationSessionState::stopping};
    const std::vector<std::pair<AutomationReply, json>> cases{
        {AutomationReply::capabilities({}), CapabilitiesPayload{}.toJSON()},
        {AutomationReply::displays({}), DisplaysPayload{}.toJSON()},
        {AutomationReply::started({}), SessionReceipt{}.toJSON()},
        {AutomationReply::status({"ready", true, {}}), StatusPayload{"ready", true, {}}.toJSON()},
        {AutomationReply::stopped(stop), stop.toJSON()},
        {AutomationReply::result({"s", AutomationSessionState::saved, {}, {}}),
         ResultPayload{"s", AutomationSessionState::saved, {}, {}}.toJSON()},
    };
    for (const auto& [reply, payload] : cases) {
        const std::string frame = AutomationResponseEncoder::encode(reply, "r", "i");
        EXPECT_EQ(keysOf(frame),
                  (std::vector<std::string>{"appInstanceId", "ok", "protocolVersion", "requestId", "result"}));
        const json written = json::parse(frame);
        EXPECT_EQ(written.at("result"), payload);
        EXPECT_EQ(written.at("ok"), true);
        EXPECT_EQ(written.at("protocolVersion"), 1);
    }
    EXPECT_EQ(AutomationResponse<StopPayload>::decode(
                  AutomationResponseEncoder::encode(AutomationReply::stopped(stop), "r", "i")),
              (AutomationResponse<StopPayload>("r", "i", stop)));
}

}  // namespace
}  // namespace recorder
