#include "QuillonServer/JSONRPCError.h"
#include "QuillonServer/JSONRPCMessage.h"
#include "QuillonServer/JSONRPCResponse.h"
#include "QuillonServer/MCPServer.h"
#include "QuillonServer/MCPTool.h"
#include "QuillonServer/MCPToolResult.h"

#include <gtest/gtest.h>

using mcp::JSON;
using mcp::JSONRPCError;
using mcp::JSONRPCMessage;

namespace {

TEST(JSONRPCError, ConstructorsCarryCodeAndPrefix) {
    struct Row {
        JSONRPCError error;
        std::int64_t code;
        const char* message;
    };
    for (const auto& row : {
             Row{JSONRPCError::parseError("x"), -32700, "Parse error: x"},
             Row{JSONRPCError::invalidRequest("x"), -32600, "Invalid request: x"},
             Row{JSONRPCError::methodNotFound("x"), -32601, "Method not found: x"},
             Row{JSONRPCError::invalidParams("x"), -32602, "Invalid params: x"},
             Row{JSONRPCError::internalError("x"), -32603, "Internal error: x"},
         }) {
        EXPECT_EQ(row.error.code, row.code);
        EXPECT_EQ(row.error.message, row.message);
        EXPECT_FALSE(row.error.data.has_value());
        EXPECT_STREQ(row.error.what(), row.message);
    }
    EXPECT_EQ(JSONRPCError::invalidParams("a"), JSONRPCError(-32602, "Invalid params: a"));
    EXPECT_NE(JSONRPCError(-1, "m", JSON(1)), JSONRPCError(-1, "m"));
}

struct ClassifyCase {
    const char* text;
    JSONRPCMessage expected;
};

class Classification : public testing::TestWithParam<ClassifyCase> {};

TEST_P(Classification, IsLenient) {
    EXPECT_EQ(JSONRPCMessage(JSON::parse(GetParam().text)), GetParam().expected) << GetParam().text;
}

TEST_P(Classification, ReadsAKeptValueAlike) {
    const JSON value = JSON::parse(GetParam().text);
    EXPECT_EQ(JSONRPCMessage(value), GetParam().expected) << GetParam().text;
    EXPECT_EQ(value, JSON::parse(GetParam().text));  // left as it was
}

using Request = JSONRPCMessage::Request;
using Notification = JSONRPCMessage::Notification;
using Invalid = JSONRPCMessage::Invalid;
using Response = JSONRPCMessage::Response;

INSTANTIATE_TEST_SUITE_P(
    Table, Classification,
    testing::Values(
        ClassifyCase{R"(5)", Invalid{JSON(), JSONRPCError::invalidRequest("Expected a JSON object")}},
        ClassifyCase{R"([{"id":1,"method":"ping"}])",
                     Invalid{JSON(), JSONRPCError::invalidRequest("Expected a JSON object")}},
        ClassifyCase{R"({"jsonrpc":"2.0","id":1,"method":"ping"})", Request{JSON(1), "ping", std::nullopt}},
        ClassifyCase{R"({"id":"a","method":"x","params":[1]})", Request{JSON("a"), "x", JSON::array({1})}},
        ClassifyCase{R"({"id":{"k":1},"method":"x","params":null})", Request{JSON::object({{"k", 1}}), "x", JSON()}},
        ClassifyCase{R"({"method":12,"id":1})", Request{JSON(1), "12", std::nullopt}},
        ClassifyCase{R"({"method":"ping"})", Notification{"ping", std::nullopt}},
        ClassifyCase{R"({"method":"ping","id":null,"params":{}})", Notification{"ping", JSON(JSON::Object{})}},
        ClassifyCase{R"({"method":true,"id":4})", Invalid{JSON(4), JSONRPCError::invalidRequest("Missing method")}},
        ClassifyCase{R"({"method":1.5,"id":4})", Invalid{JSON(4), JSONRPCError::invalidRequest("Missing method")}},
        ClassifyCase{R"({})", Invalid{JSON(), JSONRPCError::invalidRequest("Missing method")}},
        ClassifyCase{R"({"id":2,"result":{}})", Response{}}, ClassifyCase{R"({"id":2,"error":{"code":1}})", Response{}},
        ClassifyCase{R"({"id":2,"result":{},"method":"ping"})", Request{JSON(2), "ping", std::nullopt}}));

TEST(JSONRPCResponse, Builders) {
    EXPECT_EQ(mcp::JSONRPCResponse::result(JSON(3), JSON(JSON::Object{})).serialized(),
              R"({"id":3,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(mcp::JSONRPCResponse::failure(JSON(), JSONRPCError::methodNotFound("x")).serialized(),
              R"({"error":{"code":-32601,"message":"Method not found: x"},"id":null,"jsonrpc":"2.0"})");
    EXPECT_EQ(mcp::JSONRPCResponse::failure(JSON("a"), JSONRPCError(-1, "m", JSON::array({1}))).serialized(),
              R"({"error":{"code":-1,"data":[1],"message":"m"},"id":"a","jsonrpc":"2.0"})");
}

TEST(MCPToolResult, PayloadAlwaysCarriesIsError) {
    EXPECT_EQ((mcp::MCPToolResult{"", false}.payload().serialized()),
              R"({"content":[{"text":"","type":"text"}],"isError":false})");
    EXPECT_EQ((mcp::MCPToolResult{"a/b\n", true}.payload().serialized()),
              R"({"content":[{"text":"a/b\n","type":"text"}],"isError":true})");
}

TEST(MCPToolResult, PayloadTextIsThePayloadsText) {
    for (const char* text :
         {"", "plain", "a/b\n", "{\n  \"q\" : \"x\\y\"\n}", "tab\tnul\x01\x1f\x7f", "é → ☃", "bad \xff utf-8"}) {
        for (bool isError : {false, true}) {
            mcp::MCPToolResult result{text, isError};
            std::string written = "prefix:";
            result.writePayload(written);
            EXPECT_EQ(written, "prefix:" + result.payload().serialized()) << text;
        }
    }
}

TEST(MCPTool, ListedFormHasAnnotationsOnlyWhenPresent) {
    mcp::MCPTool bare{"t", "d", JSON::object({{"type", "object"}}), std::nullopt};
    EXPECT_EQ(bare.listed().objectValue()->size(), 3u);
    EXPECT_EQ(bare.listed().serialized(), R"({"description":"d","inputSchema":{"type":"object"},"name":"t"})");
    mcp::MCPTool annotated{"t", "d", JSON::object({}), JSON::object({{"title", "T"}})};
    EXPECT_EQ(annotated.listed().serialized(),
              R"({"annotations":{"title":"T"},"description":"d","inputSchema":{},"name":"t"})");
}

TEST(MCPServerKey, KeepsKindsApart) {
    using mcp::MCPServer;
    EXPECT_EQ(MCPServer::key(JSON(7)), "n:7");
    EXPECT_EQ(MCPServer::key(JSON::parse("7.0")), "n:7");
    EXPECT_EQ(MCPServer::key(JSON(7.5)), "n:7.5");
    EXPECT_EQ(MCPServer::key(JSON(0.1)), "n:0.1");
    EXPECT_EQ(MCPServer::key(JSON(-12)), "n:-12");
    EXPECT_EQ(MCPServer::key(JSON("7")), "s:7");
    EXPECT_EQ(MCPServer::key(JSON()), "other:null");
    EXPECT_EQ(MCPServer::key(JSON(true)), "other:true");
    EXPECT_EQ(MCPServer::key(JSON::object({{"b", 1}, {"a", 2}})), R"(other:{"a":2,"b":1})");
    EXPECT_NE(MCPServer::key(JSON(7)), MCPServer::key(JSON("7")));
}

}  // namespace
