#include "RecorderAutomation/Server/AutomationSocketServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Client/UnixSocket.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"
#include "RecorderAutomation/Protocol/StopPayload.h"
#include "ServerTestSupport.h"
#include "tests/Support/AppSocket.h"

namespace recorder {
namespace {

using namespace testsupport;
using Stats = AutomationSocketServer::Statistics;
using StopResponse = AutomationResponse<StopPayload>;

constexpr const char* undecodableHint = "Check the command name, parameter names, and protocol version.";

class SocketServerTest : public testing::Test, protected ServerUnderTest {
protected:
    SocketServerTest() : ServerUnderTest("instance-A") {}
    void SetUp() override { server->start(); }

    // One request on a fresh connection, as the clients do.
    StopResponse exchange(const std::string& requestID) {
        TestClient client(path());
        client.send(requestLine(requestID));
        const auto line = client.nextLine();
        if (!line) throw std::runtime_error("connection closed without a reply");
        return StopResponse::decode(*line);
    }
};

TEST_F(SocketServerTest, AnswersARequestWithItsIdentifierAndTheInstanceIdentifier) {
    const auto response = exchange("req-1");
    EXPECT_EQ(response, StopResponse("req-1", "instance-A", StopPayload{"for-req-1", AutomationSessionState::saved}));
    EXPECT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 0; }));
    EXPECT_EQ(server->statistics(), (Stats{0, 0, 0, 1}));
    EXPECT_EQ(server->endpoint(), endpoint);
}

TEST_F(SocketServerTest, PublishesTheSocketOwnerOnlyAndRefusesASecondStart) {
    EXPECT_TRUE(server->isListening());
    struct stat info {};
    ASSERT_EQ(::stat(path().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    try {
        server->start();
        FAIL() << "second start succeeded";
    } catch (const AutomationSocketServer::Failure& failure) {
        EXPECT_EQ(failure, AutomationSocketServer::Failure::alreadyListening());
        EXPECT_EQ(failure.description(), "alreadyListening");
    }
    EXPECT_TRUE(server->isListening());
    EXPECT_EQ(exchange("still").requestID, "still");
}

TEST_F(SocketServerTest, StopClosesConnectionsRemovesTheSocketAndKeepsTheCounters) {
    exchange("one");
    TestClient idle(path());
    idle.send("not json\n");
    ASSERT_TRUE(idle.nextLine().has_value());
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 1; }));

    server->stop();
    EXPECT_FALSE(server->isListening());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path())));
    EXPECT_EQ(server->statistics(), (Stats{0, 0, 1, 1}));
    EXPECT_EQ(idle.nextLine(), std::nullopt);  // closed by the server
    server->stop();                            // harmless when idle

    server->start();
    EXPECT_EQ(exchange("again").requestID, "again");
    EXPECT_EQ(server->statistics().handledRequests, 2);
}

TEST_F(SocketServerTest, ReplacesAStaleSocketOfTheSameUser) {
    server->stop();
    makeDeadSocketFile(path());  // as a crashed server leaves it
    server->start();
    EXPECT_EQ(exchange("after-crash").requestID, "after-crash");
}

TEST_F(SocketServerTest, NeverDisturbsALiveServerAtThePath) {
    AutomationSocketServer second(endpoint, "instance-B", handler);
    try {
        second.start();
        FAIL() << "second server started";
    } catch (const AutomationSocketServer::Failure& failure) {
        EXPECT_EQ(failure, AutomationSocketServer::Failure::anotherServerIsListening());
    }
    EXPECT_FALSE(second.isListening());
    EXPECT_EQ(exchange("first").appInstanceID, "instance-A");
}

TEST_F(SocketServerTest, RefusesAStaleSocketOfAnotherUserAndLeavesIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another user";
    server->stop();
    makeDeadSocketFile(path());  // as a crashed server leaves it
    ASSERT_EQ(::chown(path().c_str(), 65534, 65534), 0);
    try {
        server->start();
        FAIL() << "started over another user's socket";
    } catch (const AutomationSocketServer::Failure& failure) {
        EXPECT_EQ(failure, AutomationSocketServer::Failure::staleSocketNotOwned());
    }
    EXPECT_FALSE(server->isListening());
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path())));
}

TEST_F(SocketServerTest, AFailedStartReportsTheCallAndLeavesNoListener) {
    server->stop();
    // A directory where the socket should be: not a live server, ours, and not removable.
    std::filesystem::create_directory(path());
    try {
        server->start();
        FAIL() << "started";
    } catch (const AutomationSocketServer::Failure& failure) {
        ASSERT_TRUE(failure.is<AutomationSocketServer::System>()) << failure.description();
        EXPECT_EQ(failure.as<AutomationSocketServer::System>()->call, "unlink");
        EXPECT_EQ(failure.description(), "system(\"unlink\", " + std::to_string(EISDIR) + ")");
    }
    EXPECT_FALSE(server->isListening());
}

TEST_F(SocketServerTest, AnswersUndecodableLinesAndKeepsTheConnection) {
    struct Case {
        std::string line;
        std::string requestID;
        std::string message;  // empty: only the prefix is checked
    };
    const std::vector<Case> cases{
        {"not json", "", ""},
        {"[1,2]", "", "The request could not be decoded: The message must be an object but is an array."},
        {R"({"requestId":"abc","protocolVersion":1,"command":"start","parameters":{"source":{"kind":"display","id":"1"},"fps":30}})",
         "abc", "The request could not be decoded: The value of \"parameters\" is invalid: Unknown option(s): fps."},
        {R"({"requestId":"r2","protocolVersion":1,"command":"record"})", "r2",
         "The request could not be decoded: The value of \"command\" is invalid: Unknown command record."},
        {R"({"requestId":7,"command":"record"})", "", ""},
        // A number beyond a double's range is a malformed message, not a fault of the server.
        {R"({"requestId":"big","protocolVersion":1e999,"command":"displays"})", "", ""},
        {R"({"requestId":"r3","protocolVersion":1,"command":"stop"})", "r3",
         "The request could not be decoded: The key \"parameters\" is missing."},
    };
    TestClient client(path());
    for (const auto& c : cases) {
        client.send(c.line + "\n");
        const auto line = client.nextLine();
        ASSERT_TRUE(line.has_value()) << c.line;
        const auto response = StopResponse::decode(*line);
        EXPECT_FALSE(response.ok);
        EXPECT_EQ(response.requestID, c.requestID);
        EXPECT_EQ(response.appInstanceID, "instance-A");
        ASSERT_TRUE(response.error.has_value());
        EXPECT_EQ(response.error->code, AutomationErrorCode::invalidRequest);
        EXPECT_EQ(response.error->hint, std::optional<std::string>(undecodableHint));
        EXPECT_TRUE(response.error->message.starts_with("The request could not be decoded: "))
            << response.error->message;
        if (!c.message.empty()) {
            EXPECT_EQ(response.error->message, c.message);
        }
    }
    // Still usable, and an unknown key at the top level is ignored.
    client.send(R"({"requestId":"ok","protocolVersion":1,"command":"capabilities","extra":true})"
                "\n");
    const auto handled = StopResponse::decode(client.nextLine().value_or("{}"));
    EXPECT_TRUE(handled.ok);
    EXPECT_EQ(handled.requestID, "ok");
    EXPECT_EQ(handler->calls, 1);
    EXPECT_EQ(server->statistics().malformedMessages, static_cast<std::int64_t>(cases.size()));
    EXPECT_EQ(server->statistics().handledRequests, 1);
}

TEST_F(SocketServerTest, RefusesTheSecondOfTwoPipelinedRequestsAndStillAnswersTheFirst) {
    Gate release;
    handler->answer = [&](const AutomationRequest& request) {
        release.wait();
        return AutomationReply::stopped({request.requestID, AutomationSessionState::stopping});
    };
    TestClient client(path());
    client.send(requestLine("first") + requestLine("second"));
    const auto refusal = StopResponse::decode(client.nextLine().value_or("{}"));
    EXPECT_EQ(refusal, StopResponse("second", "instance-A", std::nullopt,
                                    AutomationFailure{AutomationErrorCode::invalidRequest,
                                                      "Wait for the previous reply before sending another request."}));
    release.open();
    const auto reply = StopResponse::decode(client.nextLine().value_or("{}"));
    EXPECT_EQ(reply.requestID, "first");
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(handler->calls, 1);
    // Once answered, the connection takes the next request.
    client.send(requestLine("third"));
    EXPECT_EQ(StopResponse::decode(client.nextLine().value_or("{}")).requestID, "third");
    EXPECT_EQ(server->statistics(), (Stats{1, 0, 0, 2}));
}

TEST_F(SocketServerTest, ClosesTheNinthClientWithoutAReplyAndCountsIt) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 8; ++i) clients.push_back(std::make_unique<TestClient>(path()));
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 8; }));
    TestClient ninth(path());
    ninth.trySend(requestLine("ninth"));  // may find the connection already closed
    EXPECT_EQ(ninth.nextLine(), std::nullopt);
    EXPECT_EQ(server->statistics().rejectedPeers, 1);
    EXPECT_EQ(handler->calls, 0);
    // The eight are served, and a place freed is taken again.
    clients[0]->send(requestLine("eighth"));
    EXPECT_TRUE(clients[0]->nextLine().has_value());
    clients[0].reset();
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 7; }));
    EXPECT_EQ(exchange("later").requestID, "later");
    EXPECT_EQ(server->statistics().rejectedPeers, 1);
}

TEST_F(SocketServerTest, DropsAConnectionWhoseFrameExceedsTheLimitWithoutAReply) {
    {
        TestClient client(path());
        client.send(std::string(65537, 'x') + "\n" + requestLine("after"));
        EXPECT_EQ(client.nextLine(), std::nullopt);
    }
    {
        TestClient client(path());
        client.send(std::string(65537, 'y'));  // unfinished and already too long
        EXPECT_EQ(client.nextLine(), std::nullopt);
    }
    EXPECT_EQ(handler->calls, 0);
    EXPECT_EQ(server->statistics().malformedMessages, 2);
    // A frame of exactly the limit is read and answered (here as undecodable).
    TestClient client(path());
    client.send(std::string(65536, ' ') + "\n");
    const auto line = client.nextLine();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(StopResponse::decode(*line).error->code, AutomationErrorCode::invalidRequest);
    EXPECT_EQ(server->statistics().malformedMessages, 3);
}

TEST_F(SocketServerTest, DiscardsTheReplyOfAClientThatLeftBeforeIt) {
    Gate release;
    handler->answer = [&](const AutomationRequest& request) {
        release.wait();
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    {
        TestClient client(path());
        client.send(requestLine("gone"));
        ASSERT_TRUE(waitUntil([&] { return handler->calls == 1; }));
    }
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 0; }));
    release.open();
    ASSERT_TRUE(waitUntil([&] { return handler->returned == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server->statistics().handledRequests, 0);
    EXPECT_EQ(exchange("next").requestID, "next");
    EXPECT_EQ(server->statistics().handledRequests, 1);
}

TEST_F(SocketServerTest, PassesAThrownFailureOnAsTheReply) {
    handler->answer = [](const AutomationRequest&) -> AutomationReply {
        throw AutomationFailure(AutomationErrorCode::busy, "Recording already", "Stop it first.");
    };
    const auto response = exchange("x");
    EXPECT_EQ(response.error, (AutomationFailure{AutomationErrorCode::busy, "Recording already", "Stop it first."}));
}

TEST_F(SocketServerTest, DropsTheConnectionWhenAReplyCannotBeSent) {
    handler->answer = [](const AutomationRequest& request) -> AutomationReply {
        if (request.requestID == "huge")  // over the frame limit once encoded
            return AutomationReply::failure({AutomationErrorCode::busy, std::string(70000, 'm')});
        if (request.requestID == "nan")  // a number JSON cannot write
            return AutomationReply::status(
                {"ready", true, SessionStatus{{}, "manual", AutomationSessionState::recording, std::nan(""), {}}});
        throw std::runtime_error("handler broke its promise");
    };
    for (const std::string id : {"huge", "nan", "throws"}) {
        TestClient client(path());
        client.send(requestLine(id));
        EXPECT_EQ(client.nextLine(), std::nullopt) << id;
    }
    EXPECT_EQ(handler->calls, 3);
    // The two replies came back to their open connections before they failed to encode.
    EXPECT_EQ(server->statistics().handledRequests, 2);
    EXPECT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 0; }));
}

TEST_F(SocketServerTest, AnInsecureDirectoryStopsStartBeforeAnySocketExists) {
    server->stop();
    std::filesystem::remove_all(endpoint.directory());
    std::filesystem::create_directory(temporary.path() / "elsewhere");
    std::filesystem::create_directory_symlink(temporary.path() / "elsewhere", endpoint.directory());
    EXPECT_THROW(server->start(), AutomationEndpoint::Failure);
    EXPECT_FALSE(server->isListening());
    EXPECT_FALSE(std::filesystem::exists(temporary.path() / "elsewhere" / "automation.sock"));
}

TEST_F(SocketServerTest, StopWhileAHandlerRunsDiscardsItsReply) {
    Gate release;
    handler->answer = [&](const AutomationRequest& request) {
        release.wait();
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    TestClient client(path());
    client.send(requestLine("in-flight"));
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 1; }));
    server->stop();
    EXPECT_EQ(client.nextLine(), std::nullopt);
    release.open();
    ASSERT_TRUE(waitUntil([&] { return handler->returned == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server->statistics().handledRequests, 0);
}

TEST_F(SocketServerTest, AServerReleasedWithoutStopStopsServingSafely) {
    Gate release;
    handler->answer = [&](const AutomationRequest& request) {
        release.wait();
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    TestClient client(path());
    client.send(requestLine("orphan"));
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 1; }));
    server.reset();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path())));
    EXPECT_EQ(client.nextLine(), std::nullopt);
    release.open();  // the handler's reply finds no server
    EXPECT_TRUE(waitUntil([&] { return handler->returned == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Handler calls never wait for one another: with eight calls held (one of them for a client
// that has left, so its call still runs), the next client is still answered at once.
TEST_F(SocketServerTest, HeldHandlerCallsNeverHoldUpAnotherConnection) {
    Gate release;
    handler->answer = [&](const AutomationRequest& request) {
        if (request.requestID.starts_with("held")) release.wait();
        return AutomationReply::stopped({request.requestID, AutomationSessionState::saved});
    };
    std::vector<std::unique_ptr<TestClient>> held;
    for (int i = 0; i < 8; ++i) {
        held.push_back(std::make_unique<TestClient>(path()));
        held.back()->send(requestLine("held-" + std::to_string(i)));
    }
    ASSERT_TRUE(waitUntil([&] { return handler->calls == 8; }));
    held.front()->close();
    ASSERT_TRUE(waitUntil([&] { return server->statistics().activeConnections == 7; }));

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange("free").requestID, "free");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));

    release.open();
    for (std::size_t i = 1; i < held.size(); ++i)
        EXPECT_EQ(StopResponse::decode(held[i]->nextLine().value()).requestID, "held-" + std::to_string(i));
    ASSERT_TRUE(waitUntil([&] { return handler->returned == 9; }));
    EXPECT_EQ(server->statistics().handledRequests, 8);
}

}  // namespace
}  // namespace recorder
