#include "RecorderAutomation/Client/AutomationClient.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <fstream>

#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "tests/Support/AppSocket.h"
#include "tests/Support/TemporaryHome.h"
#include "tests/Support/ThrownBy.h"

namespace recorder {
namespace {

using testsupport::AppSocket;
using testsupport::TemporaryDirectory;
using Clock = std::chrono::steady_clock;

AutomationRequest capabilitiesRequest(std::string id = "REQ-1") {
    // A default request carries the capabilities command.
    AutomationRequest request;
    request.requestID = std::move(id);
    return request;
}

std::string reply(std::int64_t version, const std::string& requestID, const nlohmann::json& result) {
    nlohmann::json body = {
        {"protocolVersion", version}, {"requestId", requestID}, {"appInstanceId", "INSTANCE"}, {"ok", true}};
    if (!result.is_null()) body["result"] = result;
    return body.dump() + "\n";
}

const nlohmann::json capabilities = CapabilitiesPayload{}.toJSON();

class AutomationClientTests : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    AutomationEndpoint endpoint{"app.lumora.Lumora", directory.path()};
    AutomationClient client{endpoint, 1.0};

    AutomationClient::Failure sendFailure(const AutomationClient& c,
                                          const AutomationRequest& request = capabilitiesRequest()) {
        return testsupport::thrownBy([&] { c.send<CapabilitiesPayload>(request); },
                                     AutomationClient::Failure::notRunning());
    }
};

TEST_F(AutomationClientTests, FailureTextForms) {
    EXPECT_EQ(AutomationClient::Failure::transport("closed").description(), "transport(\"closed\")");
    EXPECT_EQ(AutomationClient::Failure::protocolMismatch(2).description(), "protocolMismatch(2)");
    EXPECT_EQ(AutomationClient::Failure::unexpectedReply("X").description(), "unexpectedReply(requestID: \"X\")");
    EXPECT_EQ(AutomationClient::Failure::notRunning().description(), "notRunning");
    EXPECT_EQ(AutomationClient::Failure::timedOut().description(), "timedOut");
    EXPECT_EQ(AutomationClient::Failure::malformedReply().description(), "malformedReply");
}

TEST_F(AutomationClientTests, NoSocketFileIsNotRunningAtOnce) {
    const auto start = Clock::now();
    EXPECT_EQ(sendFailure(client), AutomationClient::Failure::notRunning());
    EXPECT_FALSE(client.isReachable());
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
}

TEST_F(AutomationClientTests, RefusedConnectionIsNotRunning) {
    testsupport::makeDeadSocketFile(endpoint.path());
    EXPECT_EQ(sendFailure(client), AutomationClient::Failure::notRunning());
    EXPECT_FALSE(client.isReachable());
}

TEST_F(AutomationClientTests, OtherConnectErrorIsTransportWithNumber) {
    // A plain file where the socket's directory should be: connect fails with ENOTDIR.
    std::ofstream(directory.path() / "file") << "x";
    const AutomationClient blocked(AutomationEndpoint("app.lumora.Lumora", directory.path() / "file"), 1.0);
    EXPECT_EQ(sendFailure(blocked),
              AutomationClient::Failure::transport("connect failed (" + std::to_string(ENOTDIR) + ")"));
}

TEST_F(AutomationClientTests, ReachableListenerSeesNoBytes) {
    enum { untouched, nothing, data };
    std::atomic<int> received{untouched};
    AppSocket listener(endpoint.path(), [&](int fd) {
        char c;
        pollfd entry{fd, POLLIN, 0};
        received = (::poll(&entry, 1, 1000) > 0 && ::read(fd, &c, 1) > 0) ? data : nothing;
    });
    EXPECT_TRUE(client.isReachable());
    for (int i = 0; i < 200 && received == untouched; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(received.load(), nothing);
}

TEST_F(AutomationClientTests, AcceptAndCloseIsTransportClosed) {
    AppSocket listener(endpoint.path(), [](int fd) {
        // Read the request first, so the close is a clean end of file and not a reset.
        char buffer[4096];
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 1000) > 0) (void)::read(fd, buffer, sizeof buffer);
    });
    EXPECT_EQ(sendFailure(client), AutomationClient::Failure::transport("closed"));
}

TEST_F(AutomationClientTests, CloseWithUnreadRequestIsReadSystemCall) {
    // Closing with the request unread resets the connection.
    AppSocket listener(endpoint.path(), [](int fd) {
        pollfd entry{fd, POLLIN, 0};
        ::poll(&entry, 1, 1000);
    });
    EXPECT_EQ(sendFailure(client),
              AutomationClient::Failure::transport("systemCall(\"read\", " + std::to_string(ECONNRESET) + ")"));
}

TEST_F(AutomationClientTests, SilentListenerTimesOutAfterTheTimeout) {
    AppSocket listener(endpoint.path(), [](int fd) { testsupport::drainUntilClosed(fd, 3); });
    const AutomationClient quick(endpoint, 0.3);
    const auto start = Clock::now();
    EXPECT_EQ(sendFailure(quick), AutomationClient::Failure::timedOut());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 0.28);
    EXPECT_LT(elapsed, 1.5);
}

// Listeners that answer with scripted bytes after reading the request.
struct ScriptedReply {
    const char* name;
    std::string bytes;
    std::optional<AutomationClient::Failure> failure;  // nothing: the reply is returned
};

class ScriptedReplies : public AutomationClientTests, public ::testing::WithParamInterface<ScriptedReply> {};

TEST_P(ScriptedReplies, AreCheckedAndMapped) {
    AppSocket* self = nullptr;
    AppSocket listener(endpoint.path(), [&](int fd) {
        self->readRequest(fd);
        testsupport::sendAll(fd, GetParam().bytes);
    });
    self = &listener;
    if (GetParam().failure) {
        EXPECT_EQ(sendFailure(client), *GetParam().failure) << sendFailure(client).description();
    } else {
        const auto response = client.send<CapabilitiesPayload>(capabilitiesRequest());
        EXPECT_EQ(response.requestID, "REQ-1");
        EXPECT_EQ(response.appInstanceID, "INSTANCE");
    }
    ASSERT_FALSE(listener.requests().empty());
    EXPECT_EQ(nlohmann::json::parse(listener.requests().front()), capabilitiesRequest().toJSON());
}

const std::string flood(70'000, 'x');

INSTANTIATE_TEST_SUITE_P(
    AutomationClientTests, ScriptedReplies,
    ::testing::Values(
        ScriptedReply{"wellFormed", reply(1, "REQ-1", capabilities), std::nullopt},
        ScriptedReply{"blankLineFirst", "\n" + reply(1, "REQ-1", capabilities), std::nullopt},
        ScriptedReply{"twoLines", reply(1, "REQ-1", capabilities) + reply(1, "OTHER", capabilities), std::nullopt},
        ScriptedReply{"withoutResult", reply(1, "REQ-1", nullptr), std::nullopt},
        ScriptedReply{
            "errorReply",
            R"({"appInstanceId":"INSTANCE","error":{"code":"automation_disabled","message":"Off."},"ok":false,"protocolVersion":1,"requestId":"REQ-1"})"
            "\n",
            std::nullopt},
        ScriptedReply{"version2", reply(2, "REQ-1", capabilities), AutomationClient::Failure::protocolMismatch(2)},
        ScriptedReply{"otherRequest", reply(1, "OTHER", capabilities),
                      AutomationClient::Failure::unexpectedReply("OTHER")},
        ScriptedReply{"notJSON", "hello\n", AutomationClient::Failure::malformedReply()},
        ScriptedReply{"missingMember",
                      R"({"protocolVersion":1,"requestId":"REQ-1","ok":true})"
                      "\n",
                      AutomationClient::Failure::malformedReply()},
        ScriptedReply{"wrongPayload", reply(1, "REQ-1", nlohmann::json{{"appName", 3}}),
                      AutomationClient::Failure::malformedReply()},
        ScriptedReply{"tooLong", flood, AutomationClient::Failure::transport("messageTooLarge(limit: 65536)")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AutomationClientTests, ErrorReplyIsReturnedNotThrown) {
    AppSocket* self = nullptr;
    AppSocket listener(endpoint.path(), [&](int fd) {
        self->readRequest(fd);
        testsupport::sendAll(
            fd,
            R"({"appInstanceId":"I","error":{"code":"automation_disabled","message":"Off.","hint":"On."},"ok":false,"protocolVersion":1,"requestId":"REQ-1"})"
            "\n");
    });
    self = &listener;
    const auto response = client.send<StatusPayload>(capabilitiesRequest());
    EXPECT_FALSE(response.ok);
    ASSERT_TRUE(response.error.has_value());
    EXPECT_EQ(response.error->code, AutomationErrorCode::automationDisabled);
    EXPECT_EQ(response.error->hint, "On.");
    EXPECT_FALSE(response.result.has_value());
}

TEST_F(AutomationClientTests, OversizedRequestFailsBeforeConnecting) {
    AppSocket listener(endpoint.path(), [](int fd) { testsupport::drainUntilClosed(fd, 1); });
    AutomationRequest request = capabilitiesRequest(std::string(70'000, 'r'));
    EXPECT_THROW(client.send<CapabilitiesPayload>(request), LineFrameDecoder::Failure);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(listener.connections(), 0);
}

TEST_F(AutomationClientTests, ExchangesRunConcurrently) {
    // Several threads share one client; every reply reaches the thread that asked.
    AppSocket* self = nullptr;
    AppSocket listener(endpoint.path(), [&](int fd) {
        const auto request = nlohmann::json::parse(self->readRequest(fd));
        testsupport::sendAll(fd, reply(1, request["requestId"], capabilities));
    });
    self = &listener;
    std::vector<std::thread> threads;
    std::atomic<int> succeeded{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            if (client.send<CapabilitiesPayload>(capabilitiesRequest("R" + std::to_string(i))).requestID ==
                "R" + std::to_string(i)) {
                succeeded.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(succeeded.load(), 4);
}

}  // namespace
}  // namespace recorder
