#include "QuillonServer/MCPServer.h"
#include "QuillonServer/StdioMCPTransport.h"

#include "Pipes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <limits>
#include <set>
#include <thread>

using mcp::JSON;
using namespace std::chrono_literals;

namespace {

// Tools: "echo" answers with its arguments; "fail" answers an error result; "throw" breaks the
// handler contract; "slow" waits until its gate is released or it is cancelled.
class ScriptedHandler : public mcp::MCPToolHandler {
public:
    mcp::MCPToolResult callTool(const std::string& name, const JSON& arguments,
                                const mcp::MCPRequestContext& context) override {
        const std::stop_token& cancel = context.cancellation();
        if (name == "echo") return {arguments.serialized(), false};
        if (name == "fail") return {"it failed", true};
        if (name == "throw") throw std::runtime_error("boom");
        std::string gate = arguments["gate"] ? arguments["gate"]->stringValue().value_or("") : "";
        std::unique_lock lock(mutex_);
        started_.insert(gate);
        changed_.notify_all();
        bool released = changed_.wait_for(lock, cancel, 10s, [&] { return released_.contains(gate); });
        if (released) return {"released:" + gate, false};
        return {cancel.stop_requested() ? "cancelled:" + gate : "timed out:" + gate, false};
    }
    void release(const std::string& gate) {
        std::lock_guard lock(mutex_);
        released_.insert(gate);
        changed_.notify_all();
    }
    bool waitStarted(const std::string& gate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return started_.contains(gate); });
    }

private:
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<std::string> started_, released_;
};

std::vector<mcp::MCPTool> catalogue() {
    auto schema = JSON::object({{"type", "object"}});
    return {
        {"echo", "Echoes.", schema, std::nullopt},
        {"fail", "Fails.", schema, std::nullopt},
        {"throw", "Throws.", schema, std::nullopt},
        {"slow", "Waits for its gate.", schema, JSON::object({{"readOnlyHint", true}})},
    };
}

std::string call(const std::string& id, const std::string& tool, const std::string& arguments = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":")" + tool +
           R"(","arguments":)" + arguments + "}}";
}

std::string textReply(const std::string& id, const std::string& text, bool isError = false) {
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" + JSON(text).serialized() +
           R"(,"type":"text"}],"isError":)" + (isError ? "true" : "false") + "}}";
}

class Server : public PipeServedMCP<ScriptedHandler> {
protected:
    void SetUp() override { start(mcp::MCPServer::Info{"test-server", "9.1", std::nullopt}); }
    void start(mcp::MCPServer::Info info) { serve(std::move(info), catalogue()); }
    void TearDown() override {
        for (const char* gate : {"A", "B", "C"}) handler->release(gate);
        PipeServedMCP::TearDown();
    }
};

TEST_F(Server, PingIsAnsweredWithExactLine) {
    send(R"({"jsonrpc":"2.0","id":3,"method":"ping"})");
    EXPECT_EQ(next(), R"({"id":3,"jsonrpc":"2.0","result":{}})");
    send(R"({"id":3.0,"method":"ping"})");  // no "jsonrpc" member: still served; 3.0 is the integer 3
    EXPECT_EQ(next(), R"({"id":3,"jsonrpc":"2.0","result":{}})");
    send(R"({"id":{"k":[1]},"method":"ping","params":{"_meta":{}}})");
    EXPECT_EQ(next(), R"({"id":{"k":[1]},"jsonrpc":"2.0","result":{}})");
}

TEST_F(Server, InitializeWithoutInstructions) {
    send(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"c","version":"1"}}})");
    EXPECT_EQ(
        next(),
        R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"protocolVersion":"2025-06-18","serverInfo":{"name":"test-server","version":"9.1"}}})");
}

struct VersionCase {
    const char* params;  // member text, or "" for no params at all
    const char* expected;
};

class Negotiation : public Server, public testing::WithParamInterface<VersionCase> {};

TEST_P(Negotiation, ChoosesSupportedVersionOrPreferred) {
    std::string params = *GetParam().params ? std::string(R"(,"params":)") + GetParam().params : "";
    send(R"({"id":1,"method":"initialize")" + params + "}");
    auto line = next();
    ASSERT_TRUE(line);
    EXPECT_EQ(*JSON::parse(*line)["result"]->operator[]("protocolVersion"), JSON(GetParam().expected)) << *line;
}

INSTANTIATE_TEST_SUITE_P(Versions, Negotiation,
                         testing::Values(VersionCase{R"({"protocolVersion":"2025-11-25"})", "2025-11-25"},
                                         VersionCase{R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
                                         VersionCase{R"({"protocolVersion":"2025-03-26"})", "2025-03-26"},
                                         VersionCase{R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
                                         VersionCase{R"({"protocolVersion":"2023-01-01"})", "2025-06-18"},
                                         VersionCase{R"({"protocolVersion":"2025-11-25 "})", "2025-06-18"},
                                         VersionCase{R"({"protocolVersion":true})", "2025-06-18"},
                                         VersionCase{R"({"protocolVersion":20241105})", "2025-06-18"},
                                         VersionCase{R"({"other":1})", "2025-06-18"},
                                         VersionCase{R"({})", "2025-06-18"},
                                         VersionCase{R"(["2024-11-05"])", "2025-06-18"},
                                         VersionCase{"", "2025-06-18"}));

class ServerWithInstructions : public Server {
protected:
    void SetUp() override { start(mcp::MCPServer::Info{"n", "v", "Use it → well."}); }
};

TEST_F(ServerWithInstructions, InitializeCarriesThemAndIsAnsweredEveryTime) {
    for (int id = 1; id <= 2; ++id) {
        send(R"({"id":)" + std::to_string(id) + R"(,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})");
        EXPECT_EQ(
            next(),
            R"({"id":)" + std::to_string(id) +
                R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},"instructions":"Use it → well.","protocolVersion":"2024-11-05","serverInfo":{"name":"n","version":"v"}}})");
    }
}

TEST_F(Server, ToolsListIsTheCatalogueInOrder) {
    send(R"({"id":"l","method":"tools/list","params":{"cursor":"ignored"}})");
    EXPECT_EQ(
        next(),
        R"({"id":"l","jsonrpc":"2.0","result":{"tools":[)"
        R"({"description":"Echoes.","inputSchema":{"type":"object"},"name":"echo"},)"
        R"({"description":"Fails.","inputSchema":{"type":"object"},"name":"fail"},)"
        R"({"description":"Throws.","inputSchema":{"type":"object"},"name":"throw"},)"
        R"({"annotations":{"readOnlyHint":true},"description":"Waits for its gate.","inputSchema":{"type":"object"},"name":"slow"}]}})");
}

TEST_F(Server, ToolsCallPassesArgumentsAndWrapsTheResult) {
    send(call("1", "echo", R"({"b":"x/y","a":1})"));
    EXPECT_EQ(next(), textReply("1", R"({"a":1,"b":"x/y"})"));
    send(call("2", "echo", "[1,2]"));  // not an object: null
    EXPECT_EQ(next(), textReply("2", "null"));
    send(R"({"id":3,"method":"tools/call","params":{"name":"echo"}})");  // absent: empty object
    EXPECT_EQ(next(), textReply("3", "{}"));
    send(call("4", "fail"));
    EXPECT_EQ(next(), textReply("4", "it failed", true));
}

struct ErrorCase {
    const char* input;
    const char* reply;
};

class ErrorRows : public Server, public testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorRows, AnswerWithCodeMessageAndId) {
    send(GetParam().input);
    EXPECT_EQ(next(), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorRows,
    testing::Values(
        ErrorCase{
            R"(5)",
            R"({"error":{"code":-32600,"message":"Invalid request: Expected a JSON object"},"id":null,"jsonrpc":"2.0"})"},
        ErrorCase{
            R"("text")",
            R"({"error":{"code":-32600,"message":"Invalid request: Expected a JSON object"},"id":null,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":4,"method":true})",
                  R"({"error":{"code":-32600,"message":"Invalid request: Missing method"},"id":4,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"jsonrpc":"2.0"})",
                  R"({"error":{"code":-32600,"message":"Invalid request: Missing method"},"id":null,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":9,"method":"resources/list"})",
                  R"({"error":{"code":-32601,"message":"Method not found: resources/list"},"id":9,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":9,"method":"Ping"})",
                  R"({"error":{"code":-32601,"message":"Method not found: Ping"},"id":9,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":9,"method":12})",
                  R"({"error":{"code":-32601,"message":"Method not found: 12"},"id":9,"jsonrpc":"2.0"})"},
        ErrorCase{
            R"({"id":1,"method":"tools/call"})",
            R"({"error":{"code":-32602,"message":"Invalid params: tools/call requires a tool name"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{
            R"({"id":1,"method":"tools/call","params":{}})",
            R"({"error":{"code":-32602,"message":"Invalid params: tools/call requires a tool name"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{
            R"({"id":1,"method":"tools/call","params":{"name":""}})",
            R"({"error":{"code":-32602,"message":"Invalid params: tools/call requires a tool name"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{
            R"({"id":1,"method":"tools/call","params":{"name":true}})",
            R"({"error":{"code":-32602,"message":"Invalid params: tools/call requires a tool name"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{
            R"({"id":1,"method":"tools/call","params":["echo"]})",
            R"({"error":{"code":-32602,"message":"Invalid params: tools/call requires a tool name"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":1,"method":"tools/call","params":{"name":"nope"}})",
                  R"({"error":{"code":-32602,"message":"Invalid params: Unknown tool: nope"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":1,"method":"tools/call","params":{"name":"Echo"}})",
                  R"({"error":{"code":-32602,"message":"Invalid params: Unknown tool: Echo"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":1,"method":"tools/call","params":{"name":12}})",
                  R"({"error":{"code":-32602,"message":"Invalid params: Unknown tool: 12"},"id":1,"jsonrpc":"2.0"})"},
        ErrorCase{R"({"id":"t","method":"tools/call","params":{"name":"throw"}})",
                  R"({"error":{"code":-32603,"message":"Internal error: boom"},"id":"t","jsonrpc":"2.0"})"}));

TEST_F(Server, ParseErrorAnswersWithNullId) {
    send(R"({"id":1,"method":)");
    auto line = next();
    ASSERT_TRUE(line);
    auto reply = JSON::parse(*line);
    EXPECT_EQ(*reply["id"], JSON());
    EXPECT_EQ(*reply["jsonrpc"], JSON("2.0"));
    EXPECT_EQ(*(*reply["error"])["code"], JSON(-32700));
    EXPECT_TRUE((*reply["error"])["message"]->stringValue()->starts_with("Parse error: ")) << *line;
    EXPECT_GT((*reply["error"])["message"]->stringValue()->size(), std::string("Parse error: ").size());
    EXPECT_EQ(reply["error"]->objectValue()->size(), 2u);  // no "data"
}

TEST_F(Server, NotificationsAndResponsesAreNeverAnswered) {
    send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    send(R"({"jsonrpc":"2.0","method":"ping","id":null})");
    send(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"echo"}})");
    send(R"({"jsonrpc":"2.0","method":"nothing/here"})");
    send(R"({"jsonrpc":"2.0","id":5,"result":{}})");
    send(R"({"jsonrpc":"2.0","id":5,"error":{"code":1,"message":"m"}})");
    send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":77}})");
    expectNothingBefore();
}

TEST_F(Server, Batches) {
    send("[]");
    send(R"([{"method":"notifications/initialized"},{"id":1,"result":{}}])");
    expectNothingBefore();
    send(
        R"([5,{"id":1,"method":"ping"},{"method":"notifications/initialized"},{"id":2,"method":"tools/call","params":{"name":"echo","arguments":{"x":1}}},{"id":3,"method":"nope"}])");
    EXPECT_EQ(
        next(),
        std::string("[") +
            R"({"error":{"code":-32600,"message":"Invalid request: Expected a JSON object"},"id":null,"jsonrpc":"2.0"},)" +
            R"({"id":1,"jsonrpc":"2.0","result":{}},)" + textReply("2", R"({"x":1})") + "," +
            R"({"error":{"code":-32601,"message":"Method not found: nope"},"id":3,"jsonrpc":"2.0"})" + "]");
    send("[[]]");
    EXPECT_EQ(
        next(),
        R"([{"error":{"code":-32600,"message":"Invalid request: Expected a JSON object"},"id":null,"jsonrpc":"2.0"}])");
}

TEST_F(Server, SlowCallDoesNotHoldBackPing) {
    send(call("1", "slow", R"({"gate":"A"})"));
    ASSERT_TRUE(handler->waitStarted("A"));
    send(R"({"id":2,"method":"ping"})");
    EXPECT_EQ(next(), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    handler->release("A");
    EXPECT_EQ(next(), textReply("1", "released:A"));
}

// The hand-off timer stays armed across short calls; a slow call that follows them, at whatever
// point of the timer's period it begins, is still handed over and a ping is answered meanwhile.
TEST_F(Server, SlowCallAfterAStreamOfShortCallsDoesNotHoldBackPing) {
    const char* gates[] = {"A", "B", "C"};
    int id = 0;
    for (const char* gate : gates) {
        for (auto until = std::chrono::steady_clock::now() + 3 * mcp::MCPServer::callHandOffDelay / 2;
             std::chrono::steady_clock::now() < until;) {
            auto name = std::to_string(++id);
            send(call(name, "echo"));
            ASSERT_EQ(next(), textReply(name, "{}"));
        }
        std::string slow = std::to_string(++id);
        send(call(slow, "slow", std::string(R"({"gate":")") + gate + "\"}"));
        ASSERT_TRUE(handler->waitStarted(gate));
        send(R"({"id":"p","method":"ping"})");
        EXPECT_EQ(next(), R"({"id":"p","jsonrpc":"2.0","result":{}})") << "after " << id << " calls";
        handler->release(gate);
        EXPECT_EQ(next(), textReply(slow, std::string("released:") + gate));
    }
}

TEST_F(Server, RepliesLeaveInCompletionOrder) {
    send(call("1", "slow", R"({"gate":"A"})"));
    send(call("2", "slow", R"({"gate":"B"})"));
    ASSERT_TRUE(handler->waitStarted("A"));
    ASSERT_TRUE(handler->waitStarted("B"));
    handler->release("B");
    EXPECT_EQ(next(), textReply("2", "released:B"));
    handler->release("A");
    EXPECT_EQ(next(), textReply("1", "released:A"));
}

TEST_F(Server, ManyConcurrentCallsEachGetOneWholeReply) {
    constexpr int calls = 64;
    for (int i = 0; i < calls; ++i) send(call(std::to_string(i), "echo", R"({"i":)" + std::to_string(i) + "}"));
    std::set<std::string> got, expected;
    for (int i = 0; i < calls; ++i) {
        expected.insert(textReply(std::to_string(i), R"({"i":)" + std::to_string(i) + "}"));
        if (auto line = next()) got.insert(*line);
    }
    EXPECT_EQ(got, expected);
}

TEST_F(Server, CancelledNotificationCancelsTheCallWhichStillAnswers) {
    send(call(R"("x")", "slow", R"({"gate":"A"})"));
    ASSERT_TRUE(handler->waitStarted("A"));
    send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"x","reason":"user"}})");
    EXPECT_EQ(next(), textReply(R"("x")", "cancelled:A"));
}

TEST_F(Server, CancelledNotificationForOtherIdsDoesNothing) {
    send(call("7", "slow", R"({"gate":"A"})"));
    ASSERT_TRUE(handler->waitStarted("A"));
    send(R"({"method":"notifications/cancelled","params":{"requestId":"7"}})");  // string, not integer
    send(R"({"method":"notifications/cancelled","params":{"requestId":8}})");
    send(R"({"method":"notifications/cancelled","params":{}})");
    send(R"({"method":"notifications/cancelled"})");
    expectNothingBefore();
    handler->release("A");
    EXPECT_EQ(next(), textReply("7", "released:A"));
}

TEST_F(Server, ReusedIdCancelsEarlierCallAndLaterStaysCancellable) {
    send(call("5", "slow", R"({"gate":"A"})"));
    ASSERT_TRUE(handler->waitStarted("A"));
    send(call("5", "slow", R"({"gate":"B"})"));
    EXPECT_EQ(next(), textReply("5", "cancelled:A"));
    ASSERT_TRUE(handler->waitStarted("B"));
    std::this_thread::sleep_for(50ms);  // let the earlier task finish its bookkeeping
    // The earlier task must not have removed the later one's entry.
    send(R"({"method":"notifications/cancelled","params":{"requestId":5}})");
    EXPECT_EQ(next(), textReply("5", "cancelled:B"));
}

TEST_F(Server, EndOfInputCancelsCallsInFlightWritesRepliesThenReturns) {
    send(call("1", "slow", R"({"gate":"A"})"));
    send(call("2", "slow", R"({"gate":"B"})"));
    send(call("2", "slow", R"({"gate":"C"})"));  // B is displaced but must still be awaited
    ASSERT_TRUE(handler->waitStarted("A"));
    ASSERT_TRUE(handler->waitStarted("C"));
    EXPECT_EQ(next(), textReply("2", "cancelled:B"));
    in.closeWrite();
    ASSERT_EQ(serving.wait_for(5s), std::future_status::ready);
    serving.get();
    std::set<std::string> got;
    for (int i = 0; i < 2; ++i)
        if (auto line = next(100ms)) got.insert(*line);
    EXPECT_EQ(got, (std::set<std::string>{textReply("1", "cancelled:A"), textReply("2", "cancelled:C")}));
}

// A catalogue whose listing has no JSON text (a schema holding infinity).
class ServerWithUnwritableListing : public Server {
protected:
    void SetUp() override {
        auto schema = JSON::object({{"type", "object"}});
        serve(mcp::MCPServer::Info{"n", "v", std::nullopt},
              {{"echo", "Echoes.", schema, std::nullopt},
               {"odd", "Bounded by infinity.", JSON::object({{"maximum", std::numeric_limits<double>::infinity()}}),
                std::nullopt}});
    }
};

TEST_F(ServerWithUnwritableListing, ReplyWithoutJSONTextIsDroppedAloneOrWithItsBatch) {
    send(R"({"id":1,"method":"tools/list"})");
    send(R"([{"id":2,"method":"ping"},{"id":3,"method":"tools/list"}])");
    expectNothingBefore();
    send(call("4", "echo", R"({"a":1})"));
    EXPECT_EQ(next(), textReply("4", R"({"a":1})"));
}

// The catalogue is asked for at the first listing or call, and only once.
class ServerWithCountedCatalogue : public Server {
protected:
    void SetUp() override {
        handler = std::make_shared<ScriptedHandler>();
        auto transport = std::make_shared<mcp::StdioMCPTransport>(in.read, out.write);
        server = std::make_unique<mcp::MCPServer>(mcp::MCPServer::Info{"n", "v", std::nullopt},
                                                  mcp::MCPServer::Catalogue([this] {
                                                      ++asked;
                                                      return catalogue();
                                                  }),
                                                  handler, transport);
        serving = std::async(std::launch::async, [this] { server->serve(); });
    }
    std::atomic<int> asked = 0;
};

TEST_F(ServerWithCountedCatalogue, IsAskedForAtTheFirstCallOrListingOnly) {
    send(R"({"id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
    ASSERT_TRUE(next());
    expectNothingBefore();  // a ping
    EXPECT_EQ(asked, 0);
    send(call("2", "echo", R"({"a":1})"));
    EXPECT_EQ(next(), textReply("2", R"({"a":1})"));
    send(call("3", "nope"));
    EXPECT_EQ(next(),
              R"({"error":{"code":-32602,"message":"Invalid params: Unknown tool: nope"},"id":3,"jsonrpc":"2.0"})");
    send(R"({"id":4,"method":"tools/list"})");
    auto listed = next();
    ASSERT_TRUE(listed);
    EXPECT_NE(listed->find(R"("name":"slow")"), std::string::npos) << *listed;
    EXPECT_EQ(asked, 1);
}

TEST_F(Server, UnwritableOutputDoesNotStopServing) {
    out.closeRead();
    send(R"({"id":1,"method":"ping"})");
    send(call("2", "echo"));
    in.closeWrite();
    ASSERT_EQ(serving.wait_for(5s), std::future_status::ready);
    serving.get();
}

}  // namespace
