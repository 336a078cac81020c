// The server writes each handler reply once and then drops it, so it moves the payload into the
// frame instead of copying it; the frame must be byte for byte the one a kept reply gives.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "RecorderAutomation/Protocol/AutomationReply.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"

namespace recorder {
namespace {

// Texts longer than a string keeps inline, so that a payload moved from too early shows as
// empty fields.
std::string longText(std::string_view stem) { return std::string(stem) + std::string(40, '-') + "end"; }

struct ReplyCase {
    const char* label;
    std::function<AutomationReply()> make;
};

class ReplyEncodingTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyEncodingTest, AMovedReplyIsWrittenExactlyAsAKeptOne) {
    const AutomationReply kept = GetParam().make();
    const std::string requestID = longText("request");
    const std::string instance = longText("instance");
    const std::string expected = AutomationResponseEncoder::encode(kept, requestID, instance);
    AutomationReply moved = GetParam().make();
    EXPECT_EQ(AutomationResponseEncoder::encode(std::move(moved), requestID, instance), expected);
    // The kept reply is left as it was and writes the same frame again.
    EXPECT_EQ(kept, GetParam().make());
    EXPECT_EQ(AutomationResponseEncoder::encode(kept, requestID, instance), expected);
    EXPECT_NE(expected.find(longText("request")), std::string::npos) << expected;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyEncodingTest,
    testing::Values(ReplyCase{"capabilities",
                              [] {
                                  CapabilitiesPayload payload;
                                  payload.appName = longText("name");
                                  payload.appVersion = longText("version");
                                  payload.bundleIdentifier = longText("bundle");
                                  payload.captureReadiness = longText("readiness");
                                  payload.supportedSources = {SourceKind::display};
                                  payload.video = {longText("codec"), longText("container"), 1920, 1080, 30};
                                  return AutomationReply::capabilities(std::move(payload));
                              }},
                    ReplyCase{"displays",
                              [] {
                                  DisplaysPayload payload;
                                  DisplayDescriptor display;
                                  display.id = longText("id");
                                  display.name = longText("display");
                                  payload.displays = {display, display};
                                  return AutomationReply::displays(std::move(payload));
                              }},
                    ReplyCase{"status",
                              [] {
                                  StatusPayload payload;
                                  payload.captureReadiness = longText("readiness");
                                  SessionStatus session;
                                  session.sessionID = longText("session");
                                  session.sourceName = longText("source");
                                  payload.session = session;
                                  return AutomationReply::status(std::move(payload));
                              }},
                    ReplyCase{
                        "stopped",
                        [] {
                            return AutomationReply::stopped({longText("session"), AutomationSessionState::stopping});
                        }},
                    ReplyCase{"failure",
                              [] {
                                  return AutomationReply::failure(
                                      {AutomationErrorCode::invalidRequest, longText("message"), longText("hint")});
                              }}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace recorder
