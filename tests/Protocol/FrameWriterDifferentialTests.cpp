// The frame written straight from a value's field table must be the very bytes its tree dumps to.
// Checked over every line of the fuzz seed corpora, decoded as each response payload type, and
// over values chosen to reach every branch of the text, number and list writers.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Protocol/ResultPayload.h"
#include "RecorderAutomation/Protocol/SessionReceipt.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"

namespace recorder {
namespace {

// The frame as the tree path writes it.
template <class T>
std::string treeFrame(const T& value) {
    return LineFrameEncoder::encode(nlohmann::json(value.toJSON()));
}

// Every line of every seed file of the protocol fuzzers.
std::vector<std::string> corpusLines() {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(LUMORA_PROTOCOL_CORPUS)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        std::stringstream contents;
        contents << file.rdbuf();
        std::string line;
        while (std::getline(contents, line)) lines.push_back(line);
    }
    return lines;
}

// Whether the line decodes as a response of this payload type; if so, both writers must agree.
template <class Payload>
bool agreesAsResponse(const std::string& line) {
    AutomationResponse<Payload> response;
    try {
        response = AutomationResponse<Payload>::decode(line);
    } catch (const DecodingError&) {
        return false;
    }
    EXPECT_EQ(LineFrameEncoder::encode(response), treeFrame(response)) << line;
    return true;
}

TEST(FrameWriterDifferential, WritesTheTreesBytesForEveryDecodableCorpusLine) {
    std::size_t compared = 0;
    for (const auto& line : corpusLines()) {
        compared += agreesAsResponse<CapabilitiesPayload>(line) + agreesAsResponse<DisplaysPayload>(line) +
                    agreesAsResponse<SessionReceipt>(line) + agreesAsResponse<StatusPayload>(line) +
                    agreesAsResponse<StopPayload>(line) + agreesAsResponse<ResultPayload>(line) +
                    agreesAsResponse<EmptyPayload>(line);
        try {
            const auto request = AutomationRequest::decode(line);
            EXPECT_EQ(LineFrameEncoder::encode(request), treeFrame(request)) << line;
            ++compared;
        } catch (const DecodingError&) {
        }
    }
    // Each of the eight response seeds decodes at least under its own payload type and the empty one.
    EXPECT_GE(compared, 16u);
}

const std::vector<std::string> texts = {
    "",
    "/home/user/Movies/Recording 2026-12-07 at 23.40.12.mp4",
    "quote \" backslash \\ slash /",
    "controls \x01\x08\t\n\x0c\r\x1f end",
    std::string("nul \0 inside", 12),
    "delete \x7f",
    "UTF-8 \xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa5",
    "invalid \xff and \xc3 cut",
    "lone continuation \x80\xbf",
    "overlong \xc0\xaf and surrogate \xed\xa0\x80",
};

const std::vector<double> reals = {0.0,
                                   -0.0,
                                   0.1,
                                   30.016,
                                   1.0,
                                   -1.5e-7,
                                   1e21,
                                   1e300,
                                   5e-324,
                                   std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::lowest(),
                                   9007199254740993.0};

const std::vector<std::int64_t> integers = {
    0, -1, 1, 48'213'664, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};

TEST(FrameWriterDifferential, WritesTheTreesBytesForTextNumbersListsAndAbsentKeys) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        for (std::size_t j = 0; j < reals.size(); ++j) {
            const auto& text = texts[i];
            std::optional<std::string> endReason;
            if (j % 2 == 0) endReason = texts[(i + j) % texts.size()];
            std::vector<std::string> warnings(j % 3, text);
            const SavedRecordingPayload recording{text,
                                                  reals[j],
                                                  integers[j % integers.size()],
                                                  -integers[(j + 1) % 3],
                                                  integers[(i + j) % integers.size()],
                                                  endReason,
                                                  warnings};
            std::optional<AutomationFailure> failure;
            if (i % 2 == 1) failure = AutomationFailure(AutomationErrorCode::busy, text, endReason);
            const ResultPayload result{text, AutomationSessionState::saved, recording, failure};
            EXPECT_EQ(LineFrameEncoder::encode(recording), treeFrame(recording)) << i << ' ' << j;
            const AutomationResponse<ResultPayload> response(text, "instance", result);
            EXPECT_EQ(LineFrameEncoder::encode(response), treeFrame(response)) << i << ' ' << j;
        }
    }
}

// A request's command keys are inlined into its envelope and merged in key order at run time.
TEST(FrameWriterDifferential, WritesTheTreesBytesForEveryCommandInItsEnvelope) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto& text = texts[i];
        std::optional<std::int64_t> duration;
        if (i % 2 == 0) duration = integers[i % integers.size()];
        const std::vector<AutomationCommand> commands = {
            AutomationCommand::capabilities(),
            AutomationCommand::displays(),
            AutomationCommand::start({SourceReference{SourceKind::display, text}, duration, i % 3 == 0}),
            AutomationCommand::status(),
            AutomationCommand::status({text}),
            AutomationCommand::stop({text}),
            AutomationCommand::result({text})};
        for (const auto& command : commands) {
            std::optional<std::string> instance;
            if (i % 3 != 1) instance = texts[(i + 1) % texts.size()];
            const AutomationRequest request{integers[i % integers.size()], text, instance, command};
            EXPECT_EQ(LineFrameEncoder::encode(request), treeFrame(request)) << i;
        }
    }
}

TEST(FrameWriterDifferential, JoinsPiecesInKeyOrderAndLeavesTwoOfOneKeyToTheTree) {
    wire::ObjectPieces object;
    object.text = R"("b":1"a":[2]"ab":{})";
    object.pieces = {{"b", 0, 5}, {"a", 5, 12}, {"ab", 12, 19}};
    std::string out = "x";
    ASSERT_TRUE(object.joinInto(out));
    EXPECT_EQ(out, R"(x{"a":[2],"ab":{},"b":1})");

    object.pieces.push_back({"a", 0, 5});
    out = "x";
    EXPECT_FALSE(object.joinInto(out));
    EXPECT_EQ(out, "x");
}

TEST(FrameWriterDifferential, RefusesNonFiniteNumbersAsTheTreePathDoes) {
    for (const double real :
         {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        const ResultPayload result{
            "s", AutomationSessionState::saved, SavedRecordingPayload{"p", real, 1, 2, 3, {}, {}}, {}};
        EXPECT_THROW(LineFrameEncoder::encode(result), LineFrameEncoder::EncodingError);
        EXPECT_THROW(treeFrame(result), LineFrameEncoder::EncodingError);
    }
}

}  // namespace
}  // namespace recorder
