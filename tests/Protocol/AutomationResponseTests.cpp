#include "RecorderAutomation/Protocol/AutomationResponse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "RecorderAutomation/Protocol/SessionReceipt.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"

namespace recorder {
namespace {

using nlohmann::json;
using S = AutomationSessionState;

std::vector<std::string> keysOf(const json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

CapabilitiesPayload fullCapabilities() {
    return {"Lumora",
            "1.3",
            "app.lumora.Lumora",
            true,
            "ready",
            {SourceKind::display, SourceKind::window},
            true,
            false,
            3600,
            {"h264", "mp4", 3840, 2160, 60},
            SessionSummary{S::recording, "automation", "s-1", 12.5}};
}

SavedRecordingPayload savedRecording() {
    return {"/Users/a/Movies/x.mp4", 4.25, 1920, 1080, 5'000'000'000LL, "durationLimit", {"dropped frames", "w2"}};
}

// Every payload, fully and minimally filled, survives a trip through a response frame.
template <class Payload>
void expectRoundTrip(const Payload& payload) {
    const AutomationResponse<Payload> response("req-1", "inst-1", payload);
    const std::string frame = LineFrameEncoder::encode(response);
    EXPECT_EQ(AutomationResponse<Payload>::decode(frame), response) << frame;
    EXPECT_EQ(Payload::fromJSON(payload.toJSON()), payload);
}

TEST(Payloads, RoundTripFullAndMinimal) {
    expectRoundTrip(fullCapabilities());
    auto minimalCapabilities = fullCapabilities();
    minimalCapabilities.activeSession.reset();
    minimalCapabilities.supportedSources.clear();
    expectRoundTrip(minimalCapabilities);
    expectRoundTrip(CapabilitiesPayload{.activeSession = SessionSummary{S::stopping, "manual", {}, {}}});
    expectRoundTrip(DisplaysPayload{{DisplayDescriptor{"69733378", "Built-in", 3024, 1964, 1512, 982, 2, true},
                                     DisplayDescriptor{"2", "External", 1920, 1080, {}, {}, {}, false}}});
    expectRoundTrip(DisplaysPayload{});
    const SourceReference source{SourceKind::display, "1"};
    expectRoundTrip(SessionReceipt{"s-1", S::preparing, source, "Built-in", true, 600, 1920, 1080});
    expectRoundTrip(StatusPayload{"ready", true, SessionStatus{"s", "automation", S::recording, 3.5, "Built-in"}});
    expectRoundTrip(StatusPayload{"permissionMissing", false, SessionStatus{{}, "manual", S::recording, {}, {}}});
    expectRoundTrip(StatusPayload{"ready", true, {}});
    expectRoundTrip(StopPayload{"s", S::stopping});
    expectRoundTrip(ResultPayload{"s", S::saved, savedRecording(), {}});
    expectRoundTrip(ResultPayload{"s", S::failed, {}, AutomationFailure{AutomationErrorCode::captureFailed, "m", "h"}});
    expectRoundTrip(ResultPayload{"s", S::recording, {}, {}});
    expectRoundTrip(SavedRecordingPayload{"/tmp/y.mov", 1, 2, 3, 4, {}, {}});
    expectRoundTrip(EmptyPayload{});
}

struct KeySetCase {
    const char* label;
    json written;
    std::vector<std::string> keys;
};

class PayloadKeySet : public testing::TestWithParam<KeySetCase> {};

TEST_P(PayloadKeySet, OmitsAbsentOptionalsAndWritesNoNull) {
    EXPECT_EQ(keysOf(GetParam().written), GetParam().keys);
    EXPECT_EQ(GetParam().written.dump().find("null"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PayloadKeySet,
    testing::Values(
        KeySetCase{"statusWithoutSession",
                   StatusPayload{"ready", true, {}}.toJSON(),
                   {"automationEnabled", "captureReadiness"}},
        KeySetCase{
            "bareSessionStatus", SessionStatus{{}, "manual", S::recording, {}, {}}.toJSON(), {"origin", "state"}},
        KeySetCase{"bareResult", ResultPayload{"s", S::preparing, {}, {}}.toJSON(), {"sessionId", "state"}},
        KeySetCase{"bareSummary", SessionSummary{S::recording, "manual", {}, {}}.toJSON(), {"origin", "state"}},
        KeySetCase{"bareDisplay",
                   DisplayDescriptor{"1", "n", 1, 2, {}, {}, {}, false}.toJSON(),
                   {"id", "isDefault", "name", "pixelHeight", "pixelWidth"}},
        KeySetCase{"recordingWithoutEndReason",
                   SavedRecordingPayload{"/p", 1, 2, 3, 4, {}, {}}.toJSON(),
                   {"bytes", "durationSeconds", "height", "path", "warnings", "width"}},
        KeySetCase{
            "failureWithoutHint", AutomationFailure{AutomationErrorCode::busy, "x"}.toJSON(), {"code", "message"}},
        KeySetCase{
            "capabilitiesWithoutSession",
            [] {
                auto c = fullCapabilities();
                c.activeSession.reset();
                return c.toJSON();
            }(),
            {"appName", "appVersion", "automationEnabled", "bundleIdentifier", "captureReadiness",
             "maximumDurationSeconds", "microphoneSupported", "supportedSources", "systemAudioSupported", "video"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Payloads, EmptyListsAreWrittenAsEmptyArrays) {
    EXPECT_EQ(DisplaysPayload{}.toJSON().dump(), R"({"displays":[]})");
    EXPECT_EQ(DisplaysPayload::fromJSON(json::parse(R"({"displays":[]})")).displays.size(), 0u);
    EXPECT_EQ(SavedRecordingPayload{}.toJSON().at("warnings"), json::array());
}

TEST(Payloads, LargeByteCountsSurviveWithoutLoss) {
    for (std::int64_t bytes : {2'147'483'648LL, 9'007'199'254'740'993LL, 9'223'372'036'854'775'807LL}) {
        auto recording = savedRecording();
        recording.bytes = bytes;
        const std::string frame = LineFrameEncoder::encode(recording);
        EXPECT_NE(frame.find(std::to_string(bytes)), std::string::npos) << frame;
        EXPECT_EQ(SavedRecordingPayload::fromJSON(json::parse(frame)).bytes, bytes);
    }
}

TEST(Payloads, UnknownKeysAreIgnoredAndNullOptionalsReadAsAbsent) {
    const auto status = StatusPayload::fromJSON(
        json::parse(R"({"captureReadiness":"ready","automationEnabled":true,"session":null,"future":{"x":1}})"));
    EXPECT_EQ(status, (StatusPayload{"ready", true, {}}));
    const auto session = SessionStatus::fromJSON(
        json::parse(R"({"origin":"manual","state":"saved","sessionId":null,"elapsedSeconds":null,"extra":1})"));
    EXPECT_EQ(session, (SessionStatus{{}, "manual", S::saved, {}, {}}));
    const auto display = DisplayDescriptor::fromJSON(
        json::parse(R"({"id":"1","name":"n","pixelWidth":1.0,"pixelHeight":2,"scale":2,"isDefault":true})"));
    EXPECT_EQ(display.pixelWidth, 1);
    EXPECT_EQ(display.scale, 2.0);
}

struct PayloadFailure {
    const char* label;
    std::function<void()> decode;
    DecodingError::Kind kind;
    std::string path;
};

class PayloadDecodingFailure : public testing::TestWithParam<PayloadFailure> {};

TEST_P(PayloadDecodingFailure, Fails) {
    try {
        GetParam().decode();
        FAIL() << "decoded";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), GetParam().kind) << error.debugDescription();
        EXPECT_EQ(codingPathText(error.codingPath()), GetParam().path);
    }
}

using K = DecodingError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Table, PayloadDecodingFailure,
    testing::Values(
        PayloadFailure{"recordingWithoutWarnings",
                       [] {
                           SavedRecordingPayload::fromJSON(
                               json::parse(R"({"path":"/p","durationSeconds":1,"width":1,"height":1,"bytes":1})"));
                       },
                       K::keyNotFound, "warnings"},
        PayloadFailure{"stateCanceledWithOneL",
                       [] { StopPayload::fromJSON(json::parse(R"({"sessionId":"s","state":"canceled"})")); },
                       K::dataCorrupted, "state"},
        PayloadFailure{"stateInCapitals",
                       [] { StopPayload::fromJSON(json::parse(R"({"sessionId":"s","state":"Saved"})")); },
                       K::dataCorrupted, "state"},
        PayloadFailure{"fractionalWidth",
                       [] {
                           SavedRecordingPayload::fromJSON(json::parse(
                               R"({"path":"/p","durationSeconds":1,"width":1.5,"height":1,"bytes":1,"warnings":[]})"));
                       },
                       K::typeMismatch, "width"},
        PayloadFailure{"booleanAsReal",
                       [] {
                           SavedRecordingPayload::fromJSON(json::parse(
                               R"({"path":"/p","durationSeconds":true,"width":1,"height":1,"bytes":1,"warnings":[]})"));
                       },
                       K::typeMismatch, "durationSeconds"},
        PayloadFailure{
            "numberInWarnings",
            [] {
                SavedRecordingPayload::fromJSON(json::parse(
                    R"({"path":"/p","durationSeconds":1,"width":1,"height":1,"bytes":1,"warnings":["a",2]})"));
            },
            K::typeMismatch, "warnings[1]"},
        PayloadFailure{"unknownSourceInList",
                       [] {
                           auto c = fullCapabilities().toJSON();
                           c["supportedSources"] = {"display", "camera"};
                           CapabilitiesPayload::fromJSON(c);
                       },
                       K::dataCorrupted, "supportedSources[1]"},
        PayloadFailure{"nestedDisplayMissingName",
                       [] {
                           DisplaysPayload::fromJSON(json::parse(
                               R"({"displays":[{"id":"1","pixelWidth":1,"pixelHeight":1,"isDefault":true}]})"));
                       },
                       K::keyNotFound, "displays[0].name"},
        PayloadFailure{"failureCodeBusyCapitalised",
                       [] { AutomationFailure::fromJSON(json::parse(R"({"code":"Busy","message":"x"})")); },
                       K::dataCorrupted, "code"},
        PayloadFailure{"failureCodeCaseName",
                       [] { AutomationFailure::fromJSON(json::parse(R"({"code":"invalidRequest","message":"x"})")); },
                       K::dataCorrupted, "code"},
        PayloadFailure{"failureWithoutMessage", [] { AutomationFailure::fromJSON(json::parse(R"({"code":"busy"})")); },
                       K::keyNotFound, "message"},
        PayloadFailure{
            "unknownCodeInsideResponse",
            [] {
                AutomationResponse<StopPayload>::decode(
                    R"({"protocolVersion":1,"requestId":"r","appInstanceId":"i","ok":false,"error":{"code":"nope","message":"m"}})");
            },
            K::dataCorrupted, "error.code"},
        PayloadFailure{"unknownCodeInsideResultFailure",
                       [] {
                           ResultPayload::fromJSON(json::parse(
                               R"({"sessionId":"s","state":"failed","failure":{"code":"nope","message":"m"}})"));
                       },
                       K::dataCorrupted, "failure.code"},
        PayloadFailure{
            "responseWithoutAppInstance",
            [] { AutomationResponse<EmptyPayload>::decode(R"({"protocolVersion":1,"requestId":"r","ok":true})"); },
            K::keyNotFound, "appInstanceId"},
        PayloadFailure{"responseNotJSON", [] { AutomationResponse<EmptyPayload>::decode("{\"ok\""); }, K::dataCorrupted,
                       ""},
        PayloadFailure{
            "responseNumberBeyondDouble",
            [] {
                AutomationResponse<StatusPayload>::decode(
                    R"({"protocolVersion":1,"requestId":"r","appInstanceId":"i","ok":true,"result":{"elapsedSeconds":-1e400}})");
            },
            K::dataCorrupted, ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AutomationSessionState, SpellingsAndFinalStates) {
    const std::vector<std::string> texts{"preparing", "recording", "stopping", "saved", "failed", "cancelled"};
    ASSERT_EQ(automation_session_state::allCases.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto state = automation_session_state::allCases[i];
        EXPECT_EQ(automation_session_state::rawValue(state), texts[i]);
        EXPECT_EQ(automation_session_state::fromRawValue(texts[i]), state);
        EXPECT_EQ(automation_session_state::isFinal(state), i >= 3) << texts[i];
    }
    EXPECT_EQ(automation_session_state::fromRawValue("canceled"), std::nullopt);
}

TEST(AutomationFailure, RoundTripsEveryCodeAndReadsNullHintAsNone) {
    for (const auto code : automation_error_code::allCases) {
        for (const auto& hint : {std::optional<std::string>{}, std::optional<std::string>{"do this"}}) {
            const AutomationFailure failure(code, "message", hint);
            const json written = failure.toJSON();
            EXPECT_EQ(written.at("code"), automation_error_code::rawValue(code));
            EXPECT_EQ(AutomationFailure::fromJSON(written), failure);
        }
    }
    EXPECT_EQ(AutomationFailure::fromJSON(json::parse(R"({"code":"busy","message":"x","hint":null,"extra":1})")),
              AutomationFailure(AutomationErrorCode::busy, "x"));
    const AutomationFailure thrown(AutomationErrorCode::timeout, "took too long");
    EXPECT_STREQ(thrown.what(), "took too long");
}

TEST(AutomationResponse, SuccessAndFailureCarryTheirOwnKeys) {
    const AutomationResponse<StopPayload> success("r", "i", StopPayload{"s", S::stopping});
    EXPECT_TRUE(success.ok);
    EXPECT_EQ(keysOf(success.toJSON()),
              (std::vector<std::string>{"appInstanceId", "ok", "protocolVersion", "requestId", "result"}));
    const AutomationResponse<StopPayload> failure("r", "i", std::nullopt,
                                                  AutomationFailure{AutomationErrorCode::busy, "b"});
    EXPECT_FALSE(failure.ok);
    EXPECT_EQ(keysOf(failure.toJSON()),
              (std::vector<std::string>{"appInstanceId", "error", "ok", "protocolVersion", "requestId"}));
    EXPECT_EQ(failure.toJSON().at("ok"), false);
}

TEST(AutomationResponse, AFailureDecodesUnderEveryPayloadTypeAndOkIsNotCrossChecked) {
    const std::string line = LineFrameEncoder::encode(AutomationResponse<EmptyPayload>(
        "r", "i", std::nullopt, AutomationFailure{AutomationErrorCode::sessionNotFound, "gone", "list"}));
    EXPECT_EQ(AutomationResponse<CapabilitiesPayload>::decode(line).error->code, AutomationErrorCode::sessionNotFound);
    EXPECT_EQ(AutomationResponse<ResultPayload>::decode(line).result, std::nullopt);
    EXPECT_FALSE(AutomationResponse<StatusPayload>::decode(line).ok);
    // "ok" is read as written, even when it contradicts the other keys.
    const auto odd = AutomationResponse<StopPayload>::decode(
        R"({"protocolVersion":2,"requestId":"","appInstanceId":"i","ok":true,"future":1})");
    EXPECT_TRUE(odd.ok);
    EXPECT_EQ(odd.protocolVersion, 2);
    EXPECT_FALSE(odd.result.has_value());
    EXPECT_FALSE(odd.error.has_value());
}

}  // namespace
}  // namespace recorder
