// The direct decoder (tokens read straight into the protocol types) must answer exactly what the
// tree path answers: the same value, to the last bit of every number, or the same error, text
// included. Checked over every fuzz seed line, every truncation and single-byte deletion of those
// lines, and a table of inputs chosen at the edges of what the direct path takes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "RecorderAutomation/Protocol/SessionReceipt.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"

namespace recorder {
namespace {

// A decoder's answer in comparable form: the value's tree dump (which tells -0.0 from 0 and
// keeps every digit of a real), or the error's kind, path and both texts.
template <class T, class Decode>
std::string outcome(Decode decode, std::string_view text) {
    try {
        const T value = decode(text);
        return "value " + value.toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const DecodingError& error) {
        return "error " + std::to_string(static_cast<int>(error.kind())) + " at " + codingPathText(error.codingPath()) +
               ": " + error.debugDescription() + " / " + error.localizedDescription();
    }
}

// Compares decode, the tree path and the direct path on one text; true when the direct path took it.
template <class T>
bool agree(std::string_view text) {
    const std::string tree = outcome<T>([](std::string_view t) { return T::decodeThroughTree(t); }, text);
    EXPECT_EQ(outcome<T>([](std::string_view t) { return T::decode(t); }, text), tree) << text;
    const auto direct = wire::decodeDirect<T>(text);
    if (!direct) return false;
    EXPECT_EQ("value " + direct->toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), tree) << text;
    EXPECT_EQ(*direct, T::decodeThroughTree(text)) << text;
    return true;
}

std::size_t agreeAsResponse(std::string_view text) {
    return agree<AutomationResponse<CapabilitiesPayload>>(text) + agree<AutomationResponse<DisplaysPayload>>(text) +
           agree<AutomationResponse<SessionReceipt>>(text) + agree<AutomationResponse<StatusPayload>>(text) +
           agree<AutomationResponse<StopPayload>>(text) + agree<AutomationResponse<ResultPayload>>(text) +
           agree<AutomationResponse<EmptyPayload>>(text);
}
// The number of decoders that took the text directly.
std::size_t agreeEverywhere(std::string_view text) { return agree<AutomationRequest>(text) + agreeAsResponse(text); }

// Every seed file of the protocol fuzzers whole, and each of its lines, with whether it is a
// request seed.
std::vector<std::pair<std::string, bool>> corpusLines() {
    std::vector<std::pair<std::string, bool>> lines;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(LUMORA_PROTOCOL_CORPUS)) {
        if (!entry.is_regular_file()) continue;
        const bool request = entry.path().parent_path().filename() == "fuzz_automation_request";
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream contents;
        contents << file.rdbuf();
        const std::string whole = contents.str();
        std::string line;
        while (std::getline(contents, line)) lines.emplace_back(line, request);
        if (whole != line && whole != line + "\n") lines.emplace_back(whole, request);
    }
    return lines;
}

TEST(DirectDecoderDifferential, AgreesWithTheTreeOnEverySeedAndItsTruncationsAndDeletions) {
    std::size_t direct = 0;
    for (const auto& [line, isRequest] : corpusLines()) {
        direct += agreeEverywhere(line);
        // Each damaged seed as a request, or as a response of the payload types with reals,
        // lists and nested objects, and of the one that reads anything.
        const auto agreeDamaged = [isRequest = isRequest](const std::string& text) {
            if (isRequest) {
                agree<AutomationRequest>(text);
            } else {
                agree<AutomationResponse<DisplaysPayload>>(text);
                agree<AutomationResponse<ResultPayload>>(text);
                agree<AutomationResponse<StatusPayload>>(text);
                agree<AutomationResponse<EmptyPayload>>(text);
            }
        };
        for (std::size_t cut = 0; cut < line.size(); ++cut) {
            agreeDamaged(line.substr(0, cut));
            agreeDamaged(line.substr(0, cut) + line.substr(cut + 1));
        }
    }
    // Every well-formed request seed and every response seed under its own and the empty payload
    // type is taken directly; a path that always declined would leave this at zero.
    EXPECT_GE(direct, 20u);
}

const std::string envelope = R"("protocolVersion":1,"requestId":"r1")";
std::string request(const std::string& keys) { return "{" + keys + "," + envelope + "}"; }
std::string reply(const std::string& result) {
    return R"({"appInstanceId":"I1","ok":true,"protocolVersion":1,"requestId":"r","result":)" + result + "}";
}
const std::string display = R"("id":"1","isDefault":true,"name":"Main","pixelHeight":1080,"pixelWidth":1920)";
std::string displays(const std::string& extra) { return reply(R"({"displays":[{)" + display + extra + "}]}"); }

struct HardInput {
    std::string text;
    bool direct;  // whether the direct path must take it
};

const std::vector<HardInput> hardInputs = {
    // Frames as the client writes them, each command once.
    {request(R"("command":"capabilities")"), true},
    {request(R"("appInstanceId":"A","command":"displays")"), true},
    {request(R"("command":"start","parameters":{"source":{"id":"1","kind":"display"}})"), true},
    {request(
         R"("command":"start","parameters":{"durationSeconds":5,"source":{"id":"1","kind":"display"},"systemAudio":true})"),
     true},
    {request(R"("command":"status")"), true},
    {request(R"("command":"status","parameters":null)"), true},
    {request(R"("command":"status","parameters":{"sessionId":"S"})"), true},
    {request(R"("command":"stop","parameters":{"sessionId":"S"})"), true},
    {request(R"("command":"result","parameters":{"sessionId":"S","extra":[1,{"a":null}]})"), true},
    {request(R"("command":"capabilities","parameters":5)"), true},
    {request(R"("appInstanceId":null,"command":"capabilities")"), true},
    {request(R"("command":"capabilities","unknown":{"a":[true,false,null,-1,2.5e3,"x"]})") + "\r\n", true},
    {" \t" + request(R"("command":"capabilities")") + " \n", true},
    {request(R"("command":"capabilities","protocolVersion":-0)"), false},  // a repeated key
    {R"({"command":"capabilities","protocolVersion":-0,"requestId":""})", true},
    {R"({"command":"capabilities","protocolVersion":9223372036854775807,"requestId":""})", true},
    {R"({"command":"capabilities","protocolVersion":-9223372036854775808,"requestId":""})", true},
    // Declined: left to the tree path, which accepts or refuses them in its own words.
    {R"({"command":"capabilities","protocolVersion":1.0,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":1.5,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":1e2,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":9223372036854775808,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":-9223372036854775809,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":18446744073709551616,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":1e999,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"","x":1e999})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"","x":1e-400})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"a","requestId":"b"})", false},
    {R"({"command":"capabilities","command":"displays","protocolVersion":1,"requestId":""})", false},
    {request(R"("parameters":{"sessionId":"S"},"command":"stop")"), false},
    {request(R"("command":"start","parameters":{"source":{"id":"1","kind":"display"},"bogus":1})"), false},
    {request(R"("command":"start","parameters":{"source":{"id":"1","kind":"camera"}})"), false},
    {request(
         R"("command":"start","parameters":{"source":{"id":"1","kind":"display"},"systemAudio":null,"durationSeconds":null})"),
     true},
    {request(R"("command":"start","parameters":null)"), false},
    {request(R"("command":"start")"), false},
    {request(R"("command":"stop","parameters":{})"), false},
    {request(R"("command":"record")"), false},
    {request(R"("command":null)"), false},
    {request(R"("command":5)"), false},
    {request(R"("appInstanceId":5,"command":"displays")"), false},
    {R"({"command":"capabilities","protocolVersion":1})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":null})", false},
    {R"({"command":"capabilities","protocolVersion":"1","requestId":""})", false},
    {request(R"("command":"capab\u0069lities")"), false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"\u00e9\ud83c\udfa5"})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"\ud800"})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"\u0000"})", false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"é"})", false},
    {"{\"command\":\"capabilities\",\"protocolVersion\":1,\"requestId\":\"\xff\"}", false},
    {"{\"command\":\"capabilities\",\"protocolVersion\":1,\"requestId\":\"\xed\xa0\x80\"}", false},
    {"\xef\xbb\xbf" + request(R"("command":"capabilities")"), false},
    {R"({"command":"capabilities","protocolVersion":1,"requestId":"a)" + std::string(1, '\0') + R"(b"})", false},
    {request(R"("command":"capabilities")") + std::string("\0", 1), false},
    {request(R"("command":"capabilities")") + "x", false},
    {request(R"("command":"capabilities")") + "{}", false},
    {request(R"("command":"capabilities","x":)" + std::string(40, '[') + std::string(40, ']')), false},
    {request(R"("command":"capabilities","x":)" + std::string(31, '[') + std::string(31, ']')), true},
    {"", false},
    {" ", false},
    {"{}", false},
    {"[]", false},
    {"null", false},
    {"\"text\"", false},
    {"{\"command\":\"capabilities\",}", false},
    {"{\"command\":\"capabilities\" /* c */}", false},
    {"{'command':'capabilities'}", false},
    {R"({"command":"capabilities","protocolVersion":NaN,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":01,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":+1,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":.5,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":1.,"requestId":""})", false},
    {R"({"command":"capabilities","protocolVersion":tru,"requestId":""})", false},
    // Replies: reals from integer and real tokens, signed zeros, extremes, absent and null keys.
    {displays(R"(,"pointWidth":960,"pointHeight":540.5,"scale":2)"), true},
    {displays(R"(,"pointWidth":-0,"pointHeight":-0.0,"scale":0e0)"), true},
    {displays(R"(,"pointWidth":9007199254740993,"pointHeight":5e-324,"scale":1.7976931348623157e308)"), true},
    {displays(R"(,"pointWidth":-9223372036854775808,"pointHeight":0.1e1,"scale":null)"), true},
    {displays(R"(,"scale":1.8e308)"), false},
    {displays(R"(,"scale":2e-400)"), false},
    {displays(R"(,"scale":true)"), true},  // by the empty payload alone
    {reply("null"), true},
    {reply("5"), true},
    {reply(R"({"displays":[]})"), true},
    {reply(R"({"displays":{}})"), true},  // only the empty payload, which reads no result, takes it
    {R"({"appInstanceId":"I","ok":false,"protocolVersion":1,"requestId":"r","error":{"code":"busy","message":"m","hint":null}})",
     true},
    {R"({"appInstanceId":"I","ok":false,"protocolVersion":1,"requestId":"r","error":{"code":"nope","message":"m"}})",
     false},
    {R"({"appInstanceId":"I","ok":"false","protocolVersion":1,"requestId":"r"})", false},
    {R"({"appInstanceId":"I","ok":true,"protocolVersion":1,"requestId":"r","result":null,"error":null})", true},
};

TEST(DirectDecoderDifferential, AgreesWithTheTreeOnHardInputs) {
    for (const auto& input : hardInputs) {
        SCOPED_TRACE(input.text);
        const std::size_t direct = agreeEverywhere(input.text);
        if (input.direct) {
            EXPECT_GT(direct, 0u) << "the direct path should take this text";
        } else {
            EXPECT_EQ(direct, 0u) << "the direct path should decline this text";
        }
    }
}

}  // namespace
}  // namespace recorder
