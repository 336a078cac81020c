#include "RecorderAutomation/Protocol/AutomationRequest.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Protocol/StrictKeys.h"

namespace recorder {
namespace {

using nlohmann::json;

// Decodes `text`, expecting failure; returns the error.
DecodingError decodingError(const std::string& text) {
    try {
        AutomationRequest::decode(text);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded: " << text;
    return DecodingError::dataCorrupted({}, "none");
}

std::string startFrame(const std::string& parameters) {
    return R"({"protocolVersion":1,"requestId":"r1","command":"start","parameters":)" + parameters + "}";
}

std::string envelope(const std::string& command, const std::string& rest = "") {
    return R"({"protocolVersion":1,"requestId":"r1","command":")" + command + "\"" + rest + "}";
}

StartParameters fullStart() { return {SourceReference{SourceKind::window, "w-7"}, 90, true}; }

class RequestRoundTrip : public testing::TestWithParam<AutomationRequest> {};

TEST_P(RequestRoundTrip, DecodesItsOwnFrameToAnEqualRequest) {
    const AutomationRequest& request = GetParam();
    const std::string frame = LineFrameEncoder::encode(request);
    ASSERT_EQ(frame.back(), '\n');
    EXPECT_EQ(AutomationRequest::decode(frame), request) << frame;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCommand, RequestRoundTrip,
    testing::Values(AutomationRequest{1, "a", std::nullopt, AutomationCommand::capabilities()},
                    AutomationRequest{1, "b", "instance-1", AutomationCommand::displays()},
                    AutomationRequest{1, "c", "instance-1", AutomationCommand::start(fullStart())},
                    AutomationRequest{1, "d", std::nullopt,
                                      AutomationCommand::start({SourceReference{SourceKind::region, "r"}, {}, false})},
                    AutomationRequest{1, "e", std::nullopt, AutomationCommand::status({})},
                    AutomationRequest{1, "f", std::nullopt, AutomationCommand::status({"s-1"})},
                    AutomationRequest{1, "g", "i", AutomationCommand::stop({"s-2"})},
                    AutomationRequest{7, "h", "i", AutomationCommand::result({"s-3"})}));

struct KeySetCase {
    const char* label;
    AutomationRequest request;
    std::vector<std::string> keys;  // top-level keys, in frame order
    json parameters;                // expected "parameters", or null when the key must be absent
};

class RequestKeySet : public testing::TestWithParam<KeySetCase> {};

TEST_P(RequestKeySet, WritesExactlyTheKeysOfItsCaseInSortedOrder) {
    const auto& c = GetParam();
    const json written = json::parse(LineFrameEncoder::encode(c.request));
    std::vector<std::string> keys;
    for (const auto& [key, value] : written.items()) keys.push_back(key);
    EXPECT_EQ(keys, c.keys);
    if (c.parameters.is_null())
        EXPECT_FALSE(written.contains("parameters"));
    else
        EXPECT_EQ(written.at("parameters"), c.parameters);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RequestKeySet,
    testing::Values(
        KeySetCase{"capabilities",
                   {1, "r", std::nullopt, AutomationCommand::capabilities()},
                   {"command", "protocolVersion", "requestId"},
                   nullptr},
        KeySetCase{"displays",
                   {1, "r", "i", AutomationCommand::displays()},
                   {"appInstanceId", "command", "protocolVersion", "requestId"},
                   nullptr},
        KeySetCase{"startWithoutDuration",
                   {1, "r", "i", AutomationCommand::start({{SourceKind::display, "1"}, {}, false})},
                   {"appInstanceId", "command", "parameters", "protocolVersion", "requestId"},
                   json::parse(R"({"source":{"id":"1","kind":"display"},"systemAudio":false})")},
        KeySetCase{"startWithDuration",
                   {1, "r", std::nullopt, AutomationCommand::start(fullStart())},
                   {"command", "parameters", "protocolVersion", "requestId"},
                   json::parse(R"({"durationSeconds":90,"source":{"id":"w-7","kind":"window"},"systemAudio":true})")},
        KeySetCase{"statusWithoutSession",
                   {1, "r", std::nullopt, AutomationCommand::status({})},
                   {"command", "parameters", "protocolVersion", "requestId"},
                   json::object()},
        KeySetCase{"stop",
                   {1, "r", std::nullopt, AutomationCommand::stop({"s"})},
                   {"command", "parameters", "protocolVersion", "requestId"},
                   json{{"sessionId", "s"}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AutomationRequest, MinimalStartReadsNoDurationAndNoSystemAudio) {
    const auto request = AutomationRequest::decode(startFrame(R"({"source":{"kind":"display","id":"1"}})"));
    ASSERT_NE(request.command.startParameters(), nullptr);
    EXPECT_EQ(*request.command.startParameters(), (StartParameters{{SourceKind::display, "1"}, std::nullopt, false}));
    EXPECT_EQ(request.appInstanceID, std::nullopt);
    EXPECT_EQ(request.command.name(), AutomationCommand::Name::start);
}

TEST(AutomationRequest, StartParametersAreStrictAndListUnknownKeysSorted) {
    struct Case {
        const char* parameters;
        const char* debug;
    };
    for (const auto& c : {
             Case{R"({"source":{"kind":"display","id":"1"},"fps":30})", "Unknown option(s): fps"},
             Case{R"({"zoom":2,"source":{"kind":"display","id":"1"},"audio":true})", "Unknown option(s): audio, zoom"},
             Case{R"({"source":{"kind":"display","id":"1"},"SystemAudio":true})", "Unknown option(s): SystemAudio"},
         }) {
        const auto error = decodingError(startFrame(c.parameters));
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << c.parameters;
        EXPECT_EQ(error.debugDescription(), c.debug);
        EXPECT_EQ(error.codingPath(), (CodingPath{CodingKey::key("parameters")}));
        EXPECT_EQ(error.localizedDescription(),
                  std::string("The value of \"parameters\" is invalid: ") + c.debug + ".");
    }
}

TEST(AutomationRequest, IgnoresUnknownKeysEverywhereButStartParameters) {
    const auto start =
        AutomationRequest::decode(R"({"protocolVersion":1,"requestId":"r","command":"start","extra":[1],)"
                                  R"("parameters":{"source":{"kind":"display","id":"1","label":"x"}}})");
    EXPECT_EQ(start.command.startParameters()->source, (SourceReference{SourceKind::display, "1"}));
    EXPECT_EQ(AutomationRequest::decode(envelope("status", R"(,"parameters":{"sessionId":"s","x":1})")).command,
              AutomationCommand::status({"s"}));
    EXPECT_EQ(AutomationRequest::decode(envelope("stop", R"(,"parameters":{"sessionId":"s","x":1})")).command,
              AutomationCommand::stop({"s"}));
    EXPECT_EQ(AutomationRequest::decode(envelope("result", R"(,"parameters":{"sessionId":"s","y":null})")).command,
              AutomationCommand::result({"s"}));
}

TEST(AutomationRequest, CommandsWithoutParametersIgnoreWhateverIsThere) {
    for (const char* parameters :
         {R"(,"parameters":{"bogus":1})", R"(,"parameters":"text")", R"(,"parameters":null)", ""}) {
        EXPECT_EQ(AutomationRequest::decode(envelope("capabilities", parameters)).command,
                  AutomationCommand::capabilities());
        EXPECT_EQ(AutomationRequest::decode(envelope("displays", parameters)).command, AutomationCommand::displays());
    }
}

TEST(AutomationRequest, StatusWithoutOrWithEmptyOrNullParametersAsksAboutNoSession) {
    for (const char* rest : {"", R"(,"parameters":{})", R"(,"parameters":null)", R"(,"parameters":{"sessionId":null})"})
        EXPECT_EQ(AutomationRequest::decode(envelope("status", rest)).command, AutomationCommand::status({})) << rest;
}

struct FailureCase {
    const char* label;
    std::string frame;
    DecodingError::Kind kind;
    std::string path;
    std::string localized;  // empty: not checked
};

class RequestDecodingFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(RequestDecodingFailure, FailsWithKindAndPath) {
    const auto& c = GetParam();
    const auto error = decodingError(c.frame);
    EXPECT_EQ(error.kind(), c.kind) << error.debugDescription();
    EXPECT_EQ(codingPathText(error.codingPath()), c.path);
    if (!c.localized.empty()) {
        EXPECT_EQ(error.localizedDescription(), c.localized);
    }
}

using K = DecodingError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Table, RequestDecodingFailure,
    testing::Values(
        FailureCase{"stopWithoutParameters", envelope("stop"), K::keyNotFound, "parameters",
                    "The key \"parameters\" is missing."},
        FailureCase{"resultWithoutSessionId", envelope("result", R"(,"parameters":{})"), K::keyNotFound,
                    "parameters.sessionId", "The key \"parameters.sessionId\" is missing."},
        FailureCase{"startWithoutParameters", envelope("start"), K::keyNotFound, "parameters", ""},
        FailureCase{"startWithNullParameters", envelope("start", R"(,"parameters":null)"), K::typeMismatch,
                    "parameters", "The value of \"parameters\" must be an object but is null."},
        FailureCase{"startWithoutSource", startFrame("{}"), K::keyNotFound, "parameters.source", ""},
        FailureCase{"unknownSourceKind", startFrame(R"({"source":{"kind":"screen","id":"1"}})"), K::dataCorrupted,
                    "parameters.source.kind",
                    "The value of \"parameters.source.kind\" is invalid: \"screen\" is not a valid source kind "
                    "(expected \"display\", \"window\" or \"region\")."},
        FailureCase{"sourceKindInCapitals", startFrame(R"({"source":{"kind":"Display","id":"1"}})"), K::dataCorrupted,
                    "parameters.source.kind", ""},
        FailureCase{"numericSourceId", startFrame(R"({"source":{"kind":"display","id":1}})"), K::typeMismatch,
                    "parameters.source.id", "The value of \"parameters.source.id\" must be text but is an integer."},
        FailureCase{"textDuration", startFrame(R"({"source":{"kind":"display","id":"1"},"durationSeconds":"5"})"),
                    K::typeMismatch, "parameters.durationSeconds", ""},
        FailureCase{"numericSystemAudio", startFrame(R"({"source":{"kind":"display","id":"1"},"systemAudio":1})"),
                    K::typeMismatch, "parameters.systemAudio", ""},
        FailureCase{"missingVersion", R"({"requestId":"r","command":"capabilities"})", K::keyNotFound,
                    "protocolVersion", ""},
        FailureCase{"fractionalVersion", R"({"protocolVersion":1.5,"requestId":"r","command":"capabilities"})",
                    K::typeMismatch, "protocolVersion",
                    "The value of \"protocolVersion\" must be an integer but is a number with a fraction."},
        FailureCase{"booleanVersion", R"({"protocolVersion":true,"requestId":"r","command":"capabilities"})",
                    K::typeMismatch, "protocolVersion", ""},
        FailureCase{"textVersion", R"({"protocolVersion":"1","requestId":"r","command":"capabilities"})",
                    K::typeMismatch, "protocolVersion", ""},
        FailureCase{"versionAboveInt64",
                    R"({"protocolVersion":9223372036854775808,"requestId":"r","command":"displays"})", K::typeMismatch,
                    "protocolVersion", ""},
        FailureCase{"realVersionAboveInt64", R"({"protocolVersion":1e19,"requestId":"r","command":"displays"})",
                    K::typeMismatch, "protocolVersion", ""},
        FailureCase{"nullRequestId", R"({"protocolVersion":1,"requestId":null,"command":"displays"})", K::typeMismatch,
                    "requestId", ""},
        FailureCase{"numericAppInstanceId",
                    R"({"protocolVersion":1,"requestId":"r","appInstanceId":3,"command":"displays"})", K::typeMismatch,
                    "appInstanceId", ""},
        FailureCase{"missingCommand", R"({"protocolVersion":1,"requestId":"r"})", K::keyNotFound, "command", ""},
        FailureCase{"notAnObject", "[1,2]", K::typeMismatch, "", "The message must be an object but is an array."},
        FailureCase{"notJSON", "{\"protocolVersion\":", K::dataCorrupted, "", ""},
        FailureCase{"invalidUTF8", "{\"protocolVersion\":1,\"requestId\":\"\xff\",\"command\":\"displays\"}",
                    K::dataCorrupted, "", ""},
        FailureCase{"emptyText", "", K::dataCorrupted, "", ""},
        FailureCase{"numberBeyondDouble", R"({"protocolVersion":1e999,"requestId":"r","command":"displays"})",
                    K::dataCorrupted, "", ""},
        FailureCase{"bareNumberBeyondDouble", "444444E444444", K::dataCorrupted, "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AutomationRequest, UnknownCommandNamesTheCommandAsReceived) {
    for (const std::string name : {"record", "Start", "STATUS", "start ", ""}) {
        const auto error = decodingError(envelope(name));
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.debugDescription(), "Unknown command " + name);
        EXPECT_EQ(error.codingPath(), (CodingPath{CodingKey::key("command")}));
    }
    EXPECT_EQ(decodingError(envelope("record")).localizedDescription(),
              "The value of \"command\" is invalid: Unknown command record.");
}

TEST(AutomationRequest, AcceptsIntegralNumbersAndLeavesRangesToTheHandler) {
    struct Case {
        const char* text;
        std::int64_t value;
    };
    for (const auto& c : {Case{"0", 0}, Case{"100000", 100000}, Case{"1.0", 1}, Case{"-5", -5}, Case{"3e2", 300},
                          Case{"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
                          Case{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()}}) {
        const auto request = AutomationRequest::decode(
            startFrame(std::string(R"({"source":{"kind":"display","id":"1"},"durationSeconds":)") + c.text + "}"));
        EXPECT_EQ(request.command.startParameters()->durationSeconds, c.value) << c.text;
    }
    EXPECT_EQ(
        AutomationRequest::decode(R"({"protocolVersion":2,"requestId":"r","command":"displays"})").protocolVersion, 2);
}

TEST(AutomationRequest, ReadsAFrameWithItsLineFeedOrACarriageReturn) {
    EXPECT_EQ(AutomationRequest::decode(envelope("displays") + "\r").command, AutomationCommand::displays());
    EXPECT_EQ(AutomationRequest::decode(envelope("displays") + "\n").command, AutomationCommand::displays());
}

TEST(AutomationCommand, NamesAreSixExactTextsInOrder) {
    const std::vector<std::string> expected{"capabilities", "displays", "start", "status", "stop", "result"};
    ASSERT_EQ(automation_command_name::allCases.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(automation_command_name::rawValue(automation_command_name::allCases[i]), expected[i]);
        EXPECT_EQ(automation_command_name::fromRawValue(expected[i]), automation_command_name::allCases[i]);
    }
    EXPECT_EQ(automation_command_name::fromRawValue("Capabilities"), std::nullopt);
}

TEST(AutomationCommand, AccessorsGiveOnlyTheirOwnCaseParameters) {
    const auto stop = AutomationCommand::stop({"s"});
    EXPECT_EQ(stop.sessionParameters()->sessionID, "s");
    EXPECT_EQ(stop.startParameters(), nullptr);
    EXPECT_EQ(stop.statusParameters(), nullptr);
    EXPECT_EQ(AutomationCommand::result({"t"}).sessionParameters()->sessionID, "t");
    EXPECT_EQ(AutomationCommand::capabilities().sessionParameters(), nullptr);
    EXPECT_NE(AutomationCommand::stop({"s"}), AutomationCommand::result({"s"}));
    EXPECT_EQ(AutomationCommand(), AutomationCommand::capabilities());
}

TEST(StrictKeys, PassesAllowedKeysAndRefusesAnyOtherAtThePathGiven) {
    const CodingPath path{CodingKey::key("outer")};
    EXPECT_NO_THROW(StrictKeys::rejectUnknownKeysIn(json::parse(R"({"a":1,"b":2})"), {"a", "b", "c"}, path));
    EXPECT_NO_THROW(StrictKeys::rejectUnknownKeysIn(json::object(), {}, path));
    try {
        StrictKeys::rejectUnknownKeysIn(json::parse(R"({"b":1,"a":2,"C":3})"), {"c"}, path);
        FAIL();
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.debugDescription(), "Unknown option(s): C, a, b");
        EXPECT_EQ(error.codingPath(), path);
    }
    EXPECT_FALSE(StrictKeys::AnyKey::fromInt(3).has_value());
    EXPECT_EQ(StrictKeys::AnyKey::fromString("k")->stringValue, "k");
}

}  // namespace
}  // namespace recorder
