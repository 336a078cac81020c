#include "Quillon/RecorderBridge.h"

#include "FakeLumora.h"
#include "RecorderAutomation/Client/CancellableSleep.h"
#include "RecorderAutomation/Protocol/PrettyJSON.h"
#include "RecorderAutomation/Support/Failure.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>

using mcp::JSON;
using quillon::RecorderBridge;
using testsupport::FakeLumora;
using namespace recorder;
using namespace std::chrono_literals;

namespace {

const char* openAppHint = "Ask the user to open Lumora and enable local automation in settings.";

nlohmann::json errorText(AutomationErrorCode code, const std::string& message, std::optional<std::string> hint = {}) {
    return nlohmann::json{{"error", AutomationFailure(code, message, std::move(hint)).toJSON()}};
}

class Bridge : public testing::Test {
protected:
    void SetUp() override {
        lumora = std::make_unique<FakeLumora>(dir.path(),
                                              [this](const AutomationRequest& request) { return answer(request); });
        lumora->start();
        bridge = std::make_unique<RecorderBridge>([this](std::stop_token cancel) {
            ++connects;
            if (connectHook) connectHook(cancel);
            return AutomationClient(lumora->endpoint(), 2.0);
        });
    }
    void TearDown() override { lumora.reset(); }

    std::optional<std::string> answer(const AutomationRequest& request) {
        std::function<std::optional<std::string>(const AutomationRequest&)> scripted;
        {
            std::lock_guard lock(scriptMutex);
            scripted = script;
        }
        if (scripted)
            if (auto line = scripted(request)) return *line == "<close>" ? std::nullopt : line;
        const auto& command = request.command;
        switch (command.name()) {
            case AutomationCommand::Name::capabilities: {
                CapabilitiesPayload payload;
                payload.appName = "Lumora";
                payload.automationEnabled = true;
                return FakeLumora::reply(AutomationReply::capabilities(payload), request);
            }
            case AutomationCommand::Name::displays:
                return FakeLumora::reply(
                    AutomationReply::displays(DisplaysPayload{{DisplayDescriptor{"1", "Built-in", {}, {}, {}, true}}}),
                    request);
            case AutomationCommand::Name::start: {
                SessionReceipt receipt;
                receipt.sessionID = "S1";
                receipt.source = command.startParameters()->source;
                receipt.systemAudio = command.startParameters()->systemAudio;
                return FakeLumora::reply(AutomationReply::started(receipt), request);
            }
            case AutomationCommand::Name::status:
                return FakeLumora::reply(AutomationReply::status(StatusPayload{"ready", true, std::nullopt}), request);
            case AutomationCommand::Name::stop:
                return FakeLumora::reply(AutomationReply::stopped(StopPayload{command.sessionParameters()->sessionID,
                                                                              AutomationSessionState::stopping}),
                                         request);
            case AutomationCommand::Name::result:
                return FakeLumora::reply(
                    AutomationReply::result(
                        ResultPayload{command.sessionParameters()->sessionID, resultState, std::nullopt, std::nullopt}),
                    request);
        }
        return std::nullopt;
    }

    mcp::MCPToolResult call(const std::string& tool, const JSON& arguments = JSON(JSON::Object{}),
                            std::stop_token cancel = {}) {
        return bridge->callTool(tool, arguments, cancel);
    }
    // The requests of one kind that reached the app.
    std::vector<AutomationRequest> sent(AutomationCommand::Name name) {
        std::vector<AutomationRequest> matching;
        for (auto& request : lumora->requests())
            if (request.command.name() == name) matching.push_back(request);
        return matching;
    }

    testsupport::TemporaryDirectory dir{"qb"};
    std::unique_ptr<FakeLumora> lumora;
    std::unique_ptr<RecorderBridge> bridge;
    std::atomic<int> connects{0};
    std::function<void(std::stop_token)> connectHook;
    // Set through setScript: the fake's thread reads it.
    std::function<std::optional<std::string>(const AutomationRequest&)> script;
    std::mutex scriptMutex;
    void setScript(std::function<std::optional<std::string>(const AutomationRequest&)> next) {
        std::lock_guard lock(scriptMutex);
        script = std::move(next);
    }
    std::atomic<AutomationSessionState> resultState{AutomationSessionState::saved};
};

TEST_F(Bridge, SuccessfulCallsAnswerWithThePayloadAsPrettyText) {
    auto result = call("recorder_list_displays");
    EXPECT_FALSE(result.isError);
    EXPECT_EQ(result.text,
              PrettyJSON::write(DisplaysPayload{{DisplayDescriptor{"1", "Built-in", {}, {}, {}, true}}}.toJSON()));
    EXPECT_NE(result.text.find("\n  \"displays\" : ["), std::string::npos) << result.text;
    // A fresh session learns the instance first; the same session serves later calls.
    EXPECT_EQ(sent(AutomationCommand::Name::capabilities).size(), 1u);
    ASSERT_EQ(sent(AutomationCommand::Name::displays).size(), 1u);
    EXPECT_EQ(sent(AutomationCommand::Name::displays)[0].appInstanceID, "instance-1");
    EXPECT_FALSE(call("recorder_capabilities").isError);
    EXPECT_EQ(connects, 1);
}

struct StartCase {
    const char* arguments;
    std::string displayID;
    std::optional<std::int64_t> duration;
    bool systemAudio;
};

class StartArguments : public Bridge, public testing::WithParamInterface<StartCase> {};

TEST_P(StartArguments, AreReadLeniently) {
    auto result = call("recorder_start_recording", JSON::parse(GetParam().arguments));
    ASSERT_FALSE(result.isError) << result.text;
    auto starts = sent(AutomationCommand::Name::start);
    ASSERT_EQ(starts.size(), 1u);
    const auto& parameters = *starts[0].command.startParameters();
    EXPECT_EQ(parameters.source.kind, SourceKind::display);
    EXPECT_EQ(parameters.source.id, GetParam().displayID);
    EXPECT_EQ(parameters.durationSeconds, GetParam().duration);
    EXPECT_EQ(parameters.systemAudio, GetParam().systemAudio);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartArguments,
    testing::Values(StartCase{R"({"displayId":"7"})", "7", std::nullopt, false},
                    StartCase{R"({"displayId":2})", "2", std::nullopt, false},
                    StartCase{R"({"displayId":"1","systemAudio":"YES"})", "1", std::nullopt, true},
                    StartCase{R"({"displayId":"1","systemAudio":"maybe"})", "1", std::nullopt, false},
                    StartCase{R"({"displayId":"1","systemAudio":1})", "1", std::nullopt, true},
                    StartCase{R"({"displayId":"1","systemAudio":true,"durationSeconds":"90"})", "1", 90, true},
                    StartCase{R"({"displayId":"1","durationSeconds":" 90 "})", "1", 90, false},
                    StartCase{R"({"displayId":"1","durationSeconds":1.5})", "1", std::nullopt, false},
                    StartCase{R"({"displayId":"1","durationSeconds":120.0})", "1", 120, false},
                    StartCase{R"({"displayId":"1","durationSeconds":-4})", "1", -4, false},
                    StartCase{R"({"displayId":"1","durationSeconds":"soon"})", "1", std::nullopt, false}));

struct RefusedCase {
    const char* tool;
    const char* arguments;
    const char* message;
};

class RefusedArguments : public Bridge, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedArguments, AnswerInvalidRequestWithoutSendingTheOperation) {
    auto result = call(GetParam().tool, JSON::parse(GetParam().arguments));
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(nlohmann::json::parse(result.text), errorText(AutomationErrorCode::invalidRequest, GetParam().message));
    EXPECT_EQ(result.text, PrettyJSON::write(errorText(AutomationErrorCode::invalidRequest, GetParam().message)));
    // Lumora is made sure of first, but nothing is asked of it.
    EXPECT_EQ(connects, 1);
    EXPECT_TRUE(lumora->requests().empty());
    EXPECT_TRUE(bridge->hasSession());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedArguments,
    testing::Values(RefusedCase{"recorder_start_recording", R"({})", "displayId is required."},
                    RefusedCase{"recorder_start_recording", R"({"displayId":""})", "displayId is required."},
                    RefusedCase{"recorder_start_recording", R"({"displayId":true})", "displayId is required."},
                    RefusedCase{"recorder_start_recording", R"({"displayId":1.5})", "displayId is required."},
                    RefusedCase{"recorder_start_recording", R"(null)", "displayId is required."},
                    RefusedCase{"recorder_stop_recording", R"({})", "sessionId is required."},
                    RefusedCase{"recorder_stop_recording", R"({"sessionId":null})", "sessionId is required."},
                    RefusedCase{"recorder_recording_result", R"({"waitSeconds":5})", "sessionId is required."},
                    RefusedCase{"recorder_recording_result", R"(["S1"])", "sessionId is required."},
                    RefusedCase{"recorder_frobnicate", R"({})", "Unknown tool recorder_frobnicate."}));

TEST_F(Bridge, SessionIdentifiersPassThrough) {
    EXPECT_FALSE(call("recorder_stop_recording", JSON::object({{"sessionId", 42}})).isError);
    EXPECT_FALSE(call("recorder_stop_recording", JSON::object({{"sessionId", ""}})).isError);
    auto stops = sent(AutomationCommand::Name::stop);
    ASSERT_EQ(stops.size(), 2u);
    EXPECT_EQ(stops[0].command.sessionParameters()->sessionID, "42");
    EXPECT_EQ(stops[1].command.sessionParameters()->sessionID, "");  // empty is passed on unchanged

    EXPECT_FALSE(call("recorder_recording_status").isError);
    EXPECT_FALSE(call("recorder_recording_status", JSON::object({{"sessionId", "S9"}})).isError);
    auto statuses = sent(AutomationCommand::Name::status);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].command.statusParameters()->sessionID, std::nullopt);
    EXPECT_EQ(statuses[1].command.statusParameters()->sessionID, "S9");
}

TEST_F(Bridge, ResultWithoutAPositiveWaitAsksOnce) {
    resultState = AutomationSessionState::recording;
    for (const char* wait : {R"(0)", R"(-5)", R"("soon")", R"(0.5)"}) {
        auto result =
            call("recorder_recording_result", JSON::object({{"sessionId", "S1"}, {"waitSeconds", JSON::parse(wait)}}));
        EXPECT_FALSE(result.isError) << wait << result.text;
    }
    EXPECT_EQ(sent(AutomationCommand::Name::result).size(), 4u);
}

TEST_F(Bridge, ResultWaitPollsUntilFinal) {
    std::atomic<int> polls{0};
    setScript([&](const AutomationRequest& request) -> std::optional<std::string> {
        if (request.command.name() != AutomationCommand::Name::result) return std::nullopt;
        auto state = ++polls < 2 ? AutomationSessionState::stopping : AutomationSessionState::saved;
        return FakeLumora::reply(AutomationReply::result(ResultPayload{"S1", state, std::nullopt, std::nullopt}),
                                 request);
    });
    auto result = call("recorder_recording_result", JSON::object({{"sessionId", "S1"}, {"waitSeconds", "100000"}}));
    EXPECT_FALSE(result.isError) << result.text;
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(nlohmann::json::parse(result.text)["state"], "saved");
}

TEST_F(Bridge, WaitThatRunsOutIsATimeoutFailure) {
    resultState = AutomationSessionState::recording;
    auto result = call("recorder_recording_result", JSON::object({{"sessionId", "S1"}, {"waitSeconds", 1}}));
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(nlohmann::json::parse(result.text),
              errorText(AutomationErrorCode::timeout, "The recording has not finished yet.",
                        "Call recorder_recording_result again, or stop the session."));
    EXPECT_TRUE(bridge->hasSession());
}

TEST_F(Bridge, CancelledWaitAnswersPromptly) {
    resultState = AutomationSessionState::recording;
    std::stop_source host;
    std::thread canceller([&] {
        std::this_thread::sleep_for(300ms);
        host.request_stop();
    });
    auto begin = std::chrono::steady_clock::now();
    auto result =
        call("recorder_recording_result", JSON::object({{"sessionId", "S1"}, {"waitSeconds", 3600}}), host.get_token());
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(nlohmann::json::parse(result.text),
              errorText(AutomationErrorCode::timeout, "The request was cancelled by the host."));
    EXPECT_TRUE(bridge->hasSession());
}

TEST_F(Bridge, CancellationReachesTheLaunchWait) {
    connectHook = [](std::stop_token cancel) { cancellableSleep(std::chrono::seconds(20), cancel); };
    std::stop_source host;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        host.request_stop();
    });
    auto begin = std::chrono::steady_clock::now();
    auto result = call("recorder_capabilities", JSON(JSON::Object{}), host.get_token());
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_EQ(nlohmann::json::parse(result.text),
              errorText(AutomationErrorCode::timeout, "The request was cancelled by the host."));
}

TEST_F(Bridge, RejectionIsPassedOnAndKeepsTheSession) {
    setScript([](const AutomationRequest& request) -> std::optional<std::string> {
        if (request.command.name() != AutomationCommand::Name::start) return std::nullopt;
        return FakeLumora::reply(
            AutomationReply::failure({AutomationErrorCode::permissionRequired, "No permission.", "Grant it."}),
            request);
    });
    auto result = call("recorder_start_recording", JSON::object({{"displayId", "1"}}));
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(nlohmann::json::parse(result.text),
              errorText(AutomationErrorCode::permissionRequired, "No permission.", "Grant it."));
    EXPECT_TRUE(bridge->hasSession());
    EXPECT_EQ(connects, 1);
}

TEST_F(Bridge, AppGoneSinceTheSessionWasMadeIsRetriedOnceAfterReconnecting) {
    ASSERT_FALSE(call("recorder_capabilities").isError);
    // Lumora quits; the reconnect finds it started again.
    lumora->stop();
    connectHook = [this](std::stop_token) {
        if (connects == 2) lumora->start();
    };
    lumora->clearRequests();
    auto result = call("recorder_recording_status");
    EXPECT_FALSE(result.isError) << result.text;
    EXPECT_EQ(connects, 2);
    // A new session: capabilities again, then the status itself.
    EXPECT_EQ(sent(AutomationCommand::Name::capabilities).size(), 1u);
    EXPECT_EQ(sent(AutomationCommand::Name::status).size(), 1u);
}

TEST_F(Bridge, SecondAttemptFailingToo_IsAnsweredAndNeverTriedAThirdTime) {
    ASSERT_FALSE(call("recorder_capabilities").isError);
    lumora->stop();
    auto result = call("recorder_recording_status");
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(nlohmann::json::parse(result.text),
              errorText(AutomationErrorCode::appUnavailable, "Lumora could not be reached: notRunning", openAppHint));
    EXPECT_EQ(connects, 2);
    EXPECT_FALSE(bridge->hasSession());
}

TEST_F(Bridge, OtherClientFailuresDropTheSessionWithoutRetry) {
    struct Row {
        std::string reply;
        std::string message;
    };
    for (const Row& row : {Row{"<close>", R"(Lumora could not be reached: transport("closed"))"},
                           Row{"not json\n", "Lumora could not be reached: malformedReply"}}) {
        setScript([&](const AutomationRequest& request) -> std::optional<std::string> {
            if (request.command.name() == AutomationCommand::Name::status) return row.reply;
            return std::nullopt;
        });
        int before = connects;
        auto result = call("recorder_recording_status");
        EXPECT_TRUE(result.isError);
        EXPECT_EQ(nlohmann::json::parse(result.text),
                  errorText(AutomationErrorCode::appUnavailable, row.message, openAppHint));
        EXPECT_EQ(connects, before + 1);
        EXPECT_FALSE(bridge->hasSession());
    }
}

TEST_F(Bridge, LocatorFailuresAreMappedAndTheNextCallTriesAgain) {
    struct Row {
        RecorderAppLocator::Failure failure;
        std::string message;
        std::string hint;
    };
    const std::string socketHint =
        "Ask the user to confirm \"Allow local automation\" is on in Lumora settings. If your AI app runs tools in a "
        "restricted environment, allow this helper to reach Lumora's local connection.";
    for (const Row& row : {
             Row{RecorderAppLocator::Failure::runningButUnreachable(),
                 "Lumora is running, but this helper cannot reach its automation socket.", socketHint},
             Row{RecorderAppLocator::Failure::launchFailed("The app did not start."),
                 R"(Lumora could not be reached: launchFailed("The app did not start."))", openAppHint},
             Row{RecorderAppLocator::Failure::notReachable(), "Lumora could not be reached: notReachable", openAppHint},
         }) {
        connectHook = [&](std::stop_token) { throw row.failure; };
        int before = connects;
        auto result = call("recorder_capabilities");
        EXPECT_TRUE(result.isError);
        EXPECT_EQ(nlohmann::json::parse(result.text),
                  errorText(AutomationErrorCode::appUnavailable, row.message, row.hint));
        EXPECT_EQ(connects, before + 1);
    }
    connectHook = nullptr;
    EXPECT_FALSE(call("recorder_capabilities").isError);
}

TEST_F(Bridge, ConcurrentCallsShareOneBridge) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 5; ++j) failures += call("recorder_recording_status").isError ? 1 : 0;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(sent(AutomationCommand::Name::status).size(), 40u);
}

// A host's context that keeps every progress report.
struct ProgressLog {
    std::mutex mutex;
    std::vector<mcp::MCPProgress> seen;
    mcp::MCPRequestContext context() {
        return mcp::MCPRequestContext({}, [this](const mcp::MCPProgress& progress) {
            std::lock_guard lock(mutex);
            seen.push_back(progress);
        });
    }
    std::vector<mcp::MCPProgress> taken() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

TEST_F(Bridge, ResultWaitReportsEveryNewStateAtOnce) {
    std::atomic<int> polls{0};
    setScript([&](const AutomationRequest& request) -> std::optional<std::string> {
        if (request.command.name() != AutomationCommand::Name::result) return std::nullopt;
        int poll = ++polls;
        auto state = poll < 3   ? AutomationSessionState::recording
                     : poll < 4 ? AutomationSessionState::stopping
                                : AutomationSessionState::saved;
        return FakeLumora::reply(AutomationReply::result(ResultPayload{"S1", state, std::nullopt, std::nullopt}),
                                 request);
    });
    ProgressLog log;
    auto result = bridge->callTool("recorder_recording_result",
                                   JSON::object({{"sessionId", "S1"}, {"waitSeconds", 100}}), log.context());
    EXPECT_FALSE(result.isError) << result.text;
    auto seen = log.taken();
    ASSERT_EQ(seen.size(), 2u);  // recording at the first poll, stopping at the third; saved is the reply
    EXPECT_EQ(seen[0].message, "Recording: recording (waited 0 s of 100 s)");
    EXPECT_THAT(seen[1].message, testing::MatchesRegex(R"(Recording: stopping \(waited [23] s of 100 s\))"));
    EXPECT_LT(seen[0].progress, seen[1].progress);
    EXPECT_NEAR(*seen[0].total, 100, 0.1);
    EXPECT_EQ(seen[0].total, seen[1].total);

    // A call that waits for nothing reports nothing, though its host asked.
    EXPECT_FALSE(bridge->callTool("recorder_recording_status", JSON(JSON::Object{}), log.context()).isError);
    EXPECT_EQ(log.taken().size(), 2u);
}

TEST_F(Bridge, ALaunchIsReportedBeforeTheCallIsAnswered) {
    bridge = std::make_unique<RecorderBridge>(
        RecorderBridge::Connect([this](std::stop_token, const std::function<void()>& launching) {
            launching();
            return AutomationClient(lumora->endpoint(), 2.0);
        }));
    ProgressLog log;
    EXPECT_FALSE(bridge->callTool("recorder_capabilities", JSON(JSON::Object{}), log.context()).isError);
    auto seen = log.taken();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, "Lumora: starting (waited 0 s of 20 s)");
    ASSERT_TRUE(seen[0].total);
    EXPECT_NEAR(*seen[0].total, 20.0, 0.1);
    // The session is kept: no further launch, no further report.
    EXPECT_FALSE(bridge->callTool("recorder_capabilities", JSON(JSON::Object{}), log.context()).isError);
    EXPECT_EQ(log.taken().size(), 1u);
}

TEST(RecorderBridgeText, FailureIsOnePrettyErrorObject) {
    auto failure = RecorderBridge::failure({AutomationErrorCode::invalidRequest, "x"});
    EXPECT_TRUE(failure.isError);
    EXPECT_EQ(failure.text, "{\n  \"error\" : {\n    \"code\" : \"invalid_request\",\n    \"message\" : \"x\"\n  }\n}");
    EXPECT_EQ(RecorderBridge::json(nlohmann::json::object()), "{}");
}

TEST(RecorderBridgeWait, IsCappedAndOnlyPositive) {
    struct Row {
        JSON value;
        std::optional<double> wait;
    };
    for (const Row& row :
         {Row{JSON(100000), 3660.0}, Row{JSON(3600), 3600.0}, Row{JSON(3661), 3660.0}, Row{JSON("12"), 12.0},
          Row{JSON(5.0), 5.0}, Row{JSON(1), 1.0}, Row{JSON(0), std::nullopt}, Row{JSON(-5), std::nullopt},
          Row{JSON(2.5), std::nullopt}, Row{JSON(true), std::nullopt}, Row{JSON(), std::nullopt}})
        EXPECT_EQ(RecorderBridge::resultWait(row.value), row.wait) << row.value.serialized();
}

}  // namespace
