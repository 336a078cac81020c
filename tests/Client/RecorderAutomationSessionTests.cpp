#include "RecorderAutomation/Client/RecorderAutomationSession.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "tests/Support/AppSocket.h"
#include "tests/Support/TemporaryHome.h"
#include "tests/Support/ThrownBy.h"

namespace recorder {
namespace {

using testsupport::AppSocket;
using testsupport::TemporaryDirectory;
using Clock = std::chrono::steady_clock;
using Failure = RecorderAutomationSession::Failure;

nlohmann::json resultPayload(const std::string& state) { return {{"sessionId", "S1"}, {"state", state}}; }

// An app stand-in: answers each request with what `answer` returns for it (a JSON object whose
// protocolVersion, requestId and appInstanceId are filled in unless given), and remembers the
// requests with the time each arrived.
class ScriptedApp {
public:
    using Answer = std::function<nlohmann::json(const nlohmann::json& request)>;
    ScriptedApp(const AutomationEndpoint& endpoint, Answer answer)
        : answer_(std::move(answer)), listener_(endpoint.path(), [this](int fd) { serve(fd); }) {}

    std::vector<nlohmann::json> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<double> arrivals() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

private:
    void serve(int fd) {
        const auto line = listener_.readRequest(fd);
        const auto request = nlohmann::json::parse(line);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            arrivals_.push_back(std::chrono::duration<double>(Clock::now() - born_).count());
        }
        auto body = answer_(request);
        if (!body.contains("protocolVersion")) body["protocolVersion"] = 1;
        if (!body.contains("requestId")) body["requestId"] = request["requestId"];
        if (!body.contains("appInstanceId")) body["appInstanceId"] = "INSTANCE-A";
        if (!body.contains("ok")) body["ok"] = !body.contains("error");
        testsupport::sendAll(fd, body.dump() + "\n");
    }

    Answer answer_;
    const Clock::time_point born_ = Clock::now();
    mutable std::mutex mutex_;
    std::vector<nlohmann::json> requests_;
    std::vector<double> arrivals_;
    AppSocket listener_;
};

// Answers every command with a plausible result.
nlohmann::json normalAnswer(const nlohmann::json& request) {
    const std::string command = request["command"];
    if (command == "capabilities") return {{"result", CapabilitiesPayload{}.toJSON()}};
    if (command == "displays") return {{"result", {{"displays", nlohmann::json::array()}}}};
    if (command == "status") return {{"result", StatusPayload{}.toJSON()}};
    if (command == "result") return {{"result", resultPayload("saved")}};
    if (command == "start") return {{"result", SessionReceipt{.sessionID = "S1"}.toJSON()}};
    return {{"result", {{"sessionId", "S1"}, {"state", "stopping"}}}};
}

// 8-4-4-4-12 upper-case hexadecimal digits, version 4, RFC 4122 variant.
bool isUpperCaseUUIDv4(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return text[14] == '4' && std::string_view("89AB").find(text[19]) != std::string_view::npos;
}

class RecorderAutomationSessionTests : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    AutomationEndpoint endpoint{"app.lumora.Lumora", directory.path()};
    AutomationClient client{endpoint, 2.0};
    std::atomic<int> counter{0};
    RecorderAutomationSession session{client, [this] { return "ID-" + std::to_string(counter.fetch_add(1)); }};

    template <class Body>
    Failure sessionFailure(Body body) {
        return testsupport::thrownBy(body, Failure::waitTimedOut());
    }
};

// Request ids are random version-4 UUIDs in upper case, distinct within a thread and across
// threads (each thread has a generator of its own).
TEST(RecorderAutomationSessionUUID, IsAVersionFourUUIDAndNeverRepeats) {
    const auto form = testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::mutex mutex;
    std::set<std::string> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            std::vector<std::string> made;
            for (int i = 0; i < 2000; ++i) made.push_back(RecorderAutomationSession::makeUUID());
            std::lock_guard lock(mutex);
            for (auto& id : made) {
                EXPECT_THAT(id, form);
                EXPECT_TRUE(seen.insert(id).second) << id;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(seen.size(), 8000u);
}

TEST_F(RecorderAutomationSessionTests, FailureTextForms) {
    EXPECT_EQ(Failure::client(AutomationClient::Failure::notRunning()).description(), "client(notRunning)");
    EXPECT_EQ(Failure::client(AutomationClient::Failure::transport("closed")).description(),
              "client(transport(\"closed\"))");
    EXPECT_EQ(Failure::waitTimedOut().description(), "waitTimedOut");
    EXPECT_EQ(Failure::rejected(AutomationFailure(AutomationErrorCode::automationDisabled, "Off.")).description(),
              "rejected(\"automation_disabled\", \"Off.\")");
}

TEST_F(RecorderAutomationSessionTests, FirstOperationLearnsTheInstanceFirst) {
    ScriptedApp app(endpoint, normalAnswer);
    session.status(std::string("S1"));
    const auto requests = app.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["command"], "capabilities");
    EXPECT_FALSE(requests[0].contains("appInstanceId"));
    EXPECT_EQ(requests[0]["requestId"], "ID-0");
    EXPECT_EQ(requests[1]["command"], "status");
    EXPECT_EQ(requests[1]["appInstanceId"], "INSTANCE-A");
    EXPECT_EQ(requests[1]["requestId"], "ID-1");
    EXPECT_EQ(requests[1]["parameters"], nlohmann::json({{"sessionId", "S1"}}));
    EXPECT_EQ(requests[1]["protocolVersion"], 1);
}

TEST_F(RecorderAutomationSessionTests, CapabilitiesSendsOneRequestAndReplacesTheInstance) {
    std::atomic<int> served{0};
    ScriptedApp app(endpoint, [&](const nlohmann::json& request) {
        auto answer = normalAnswer(request);
        answer["appInstanceId"] = served.fetch_add(1) == 0 ? "INSTANCE-A" : "INSTANCE-B";
        return answer;
    });
    session.capabilities();
    EXPECT_EQ(app.requests().size(), 1u);
    EXPECT_FALSE(app.requests()[0].contains("appInstanceId"));
    session.capabilities();
    ASSERT_EQ(app.requests().size(), 2u);
    EXPECT_EQ(app.requests()[1]["appInstanceId"], "INSTANCE-A");
    EXPECT_EQ(session.appInstanceID(), "INSTANCE-B");
}

TEST_F(RecorderAutomationSessionTests, OtherRepliesNeitherCompareNorChangeTheInstance) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        auto answer = normalAnswer(request);
        if (request["command"] != "capabilities") answer["appInstanceId"] = "SOMEONE-ELSE";
        return answer;
    });
    session.displays();
    session.stop("S1");
    EXPECT_EQ(session.appInstanceID(), "INSTANCE-A");
    EXPECT_EQ(app.requests().back()["appInstanceId"], "INSTANCE-A");
}

TEST_F(RecorderAutomationSessionTests, RefusedCapabilitiesFailsTheOperationAndStoresTheInstance) {
    const AutomationFailure off(AutomationErrorCode::automationDisabled, "Automation is off.", "Turn it on.");
    ScriptedApp app(endpoint, [&](const nlohmann::json&) {
        return nlohmann::json{{"error", off.toJSON()}, {"appInstanceId", "INSTANCE-OFF"}};
    });
    EXPECT_EQ(sessionFailure([&] { session.displays(); }), Failure::rejected(off));
    ASSERT_EQ(app.requests().size(), 1u);
    EXPECT_EQ(app.requests()[0]["command"], "capabilities");
    EXPECT_EQ(session.appInstanceID(), "INSTANCE-OFF");
}

TEST_F(RecorderAutomationSessionTests, FailedLearningStepIsRetriedNextTime) {
    EXPECT_EQ(sessionFailure([&] { session.displays(); }), Failure::client(AutomationClient::Failure::notRunning()));
    EXPECT_FALSE(session.appInstanceID().has_value());
    ScriptedApp app(endpoint, normalAnswer);
    session.displays();
    ASSERT_EQ(app.requests().size(), 2u);
    EXPECT_EQ(app.requests()[0]["command"], "capabilities");
}

TEST_F(RecorderAutomationSessionTests, StartUsesTheGivenIdentifierOrAFreshUUID) {
    ScriptedApp app(endpoint, normalAnswer);
    RecorderAutomationSession defaultIDs(client);
    defaultIDs.start(StartParameters{}, std::string("MY-START"));
    defaultIDs.start(StartParameters{});
    const auto requests = app.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1]["requestId"], "MY-START");
    for (const auto index : {0, 2}) {
        EXPECT_TRUE(isUpperCaseUUIDv4(requests[index]["requestId"].get<std::string>())) << requests[index];
    }
    EXPECT_NE(requests[0]["requestId"], requests[2]["requestId"]);
}

struct ReplyCase {
    const char* name;
    nlohmann::json answer;
    bool rejected;
};
class ReplyInterpretation : public RecorderAutomationSessionTests, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyInterpretation, ErrorWinsThenResultIsRequired) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        return request["command"] == "capabilities" ? normalAnswer(request) : GetParam().answer;
    });
    const auto failure = sessionFailure([&] { session.result("S1"); });
    if (GetParam().rejected) {
        EXPECT_EQ(failure,
                  Failure::rejected(AutomationFailure(AutomationErrorCode::sessionNotFound, "No such session.")));
    } else {
        EXPECT_EQ(failure, Failure::client(AutomationClient::Failure::malformedReply()));
    }
}

const nlohmann::json notFound = AutomationFailure(AutomationErrorCode::sessionNotFound, "No such session.").toJSON();

INSTANTIATE_TEST_SUITE_P(RecorderAutomationSessionTests, ReplyInterpretation,
                         ::testing::Values(ReplyCase{"okWithoutResult", {{"ok", true}}, false},
                                           ReplyCase{
                                               "errorAndResult",
                                               {{"ok", true}, {"error", notFound}, {"result", resultPayload("saved")}},
                                               true},
                                           ReplyCase{"errorWithOkTrue", {{"ok", true}, {"error", notFound}}, true},
                                           ReplyCase{"okFalseWithoutError", {{"ok", false}}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecorderAutomationSessionTests, ExchangeFailuresBecomeClientFailures) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        auto answer = normalAnswer(request);
        if (request["command"] == "stop") answer["protocolVersion"] = 2;
        return answer;
    });
    EXPECT_EQ(sessionFailure([&] { session.stop("S1"); }),
              Failure::client(AutomationClient::Failure::protocolMismatch(2)));
}

TEST_F(RecorderAutomationSessionTests, WaitReturnsAfterOnePollWhenAlreadyFinal) {
    ScriptedApp app(endpoint, normalAnswer);
    session.capabilities();
    const auto payload = session.waitForResult("S1", 5);
    EXPECT_EQ(payload.state, AutomationSessionState::saved);
    EXPECT_EQ(app.requests().size(), 2u);
}

TEST_F(RecorderAutomationSessionTests, WaitWithZeroTimeoutPollsExactlyOnce) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        return request["command"] == "result" ? nlohmann::json{{"result", resultPayload("recording")}}
                                              : normalAnswer(request);
    });
    session.capabilities();
    EXPECT_EQ(sessionFailure([&] { session.waitForResult("S1", 0); }), Failure::waitTimedOut());
    EXPECT_EQ(app.requests().size(), 2u);
}

TEST_F(RecorderAutomationSessionTests, WaitPollsEverySecondUntilPastTheDeadline) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        return request["command"] == "result" ? nlohmann::json{{"result", resultPayload("recording")}}
                                              : normalAnswer(request);
    });
    session.capabilities();
    EXPECT_EQ(sessionFailure([&] { session.waitForResult("S1", 2.5); }), Failure::waitTimedOut());
    const auto arrivals = app.arrivals();
    ASSERT_EQ(arrivals.size(), 5u) << "capabilities and four polls";
    const auto requests = app.requests();
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_EQ(requests[i]["command"], "result");
        EXPECT_NEAR(arrivals[i] - arrivals[1], static_cast<double>(i - 1), 0.2) << "poll " << i;
        if (i > 1) {
            EXPECT_NE(requests[i]["requestId"], requests[i - 1]["requestId"]);
        }
    }
}

TEST_F(RecorderAutomationSessionTests, WaitReturnsOnceTheStateIsFinal) {
    std::atomic<int> polls{0};
    ScriptedApp app(endpoint, [&](const nlohmann::json& request) {
        if (request["command"] != "result") return normalAnswer(request);
        return nlohmann::json{{"result", resultPayload(polls.fetch_add(1) < 1 ? "stopping" : "cancelled")}};
    });
    EXPECT_EQ(session.waitForResult("S1", 10).state, AutomationSessionState::cancelled);
    EXPECT_EQ(polls.load(), 2);
}

TEST_F(RecorderAutomationSessionTests, CancellationEndsTheWaitAtOnce) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        return request["command"] == "result" ? nlohmann::json{{"result", resultPayload("recording")}}
                                              : normalAnswer(request);
    });
    session.capabilities();
    std::stop_source stop;
    std::atomic<double> endedAfterStop{-1};
    Clock::time_point stopped;
    std::thread waiter([&] {
        try {
            session.waitForResult("S1", 30, stop.get_token());
        } catch (const CancellationError&) {
            endedAfterStop = std::chrono::duration<double>(Clock::now() - stopped).count();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopped = Clock::now();
    stop.request_stop();
    waiter.join();
    EXPECT_GE(endedAfterStop.load(), 0.0) << "the wait ended with CancellationError";
    EXPECT_LT(endedAfterStop.load(), 0.05);
}

// A stop that comes while a poll is on the wire does not cut it short: the poll's reply is
// still read, and a final state ends the wait with it rather than with CancellationError.
TEST_F(RecorderAutomationSessionTests, CancellationDoesNotInterruptAnExchangeInFlight) {
    std::atomic<bool> polled{false};
    ScriptedApp app(endpoint, [&](const nlohmann::json& request) {
        if (request["command"] != "result") return normalAnswer(request);
        polled = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return nlohmann::json{{"result", resultPayload("saved")}};
    });
    session.capabilities();
    std::stop_source stop;
    std::thread canceller([&] {
        while (!polled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stop.request_stop();
    });
    const auto started = Clock::now();
    const auto payload = session.waitForResult("S1", 30, stop.get_token());
    canceller.join();
    EXPECT_EQ(payload.state, AutomationSessionState::saved);
    EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(300));
    EXPECT_EQ(app.requests().size(), 2u);
}

TEST_F(RecorderAutomationSessionTests, WaitInProgressDoesNotHoldBackOtherOperations) {
    ScriptedApp app(endpoint, [](const nlohmann::json& request) {
        return request["command"] == "result" ? nlohmann::json{{"result", resultPayload("recording")}}
                                              : normalAnswer(request);
    });
    session.capabilities();
    std::stop_source stop;
    std::thread waiter([&] {
        try {
            session.waitForResult("S1", 30, stop.get_token());
        } catch (const CancellationError&) {
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    session.status();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
    stop.request_stop();
    waiter.join();
}

}  // namespace
}  // namespace recorder
