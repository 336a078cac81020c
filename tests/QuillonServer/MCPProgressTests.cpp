// Progress notifications of the server: what a handler reports reaches the host only for a call
// that asked for it, only while the call runs, always before its reply, and always growing.
#include "QuillonServer/MCPServer.h"
#include "QuillonServer/StdioMCPTransport.h"

#include "Pipes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <latch>
#include <sys/resource.h>
#include <thread>

using mcp::JSON;
using mcp::MCPProgress;
using namespace std::chrono_literals;

namespace {

// A number of a step: "inf" and "nan" stand for the values JSON has no text for.
double number(const JSON& value) {
    if (auto i = std::get_if<std::int64_t>(&value.value())) return static_cast<double>(*i);
    if (auto d = std::get_if<double>(&value.value())) return *d;
    return value.stringValue() == "inf" ? HUGE_VAL : std::nan("");
}

// "report" sends the progress values of its "steps" ([progress, total or null, message]) and
// answers "done"; "keep" keeps its context for the test and answers at once; "hold" reports
// once, waits to be cancelled, reports again and answers "cancelled"; "flood" reports from a
// thread of its own without end and answers after its tenth report.
class ProgressHandler : public mcp::MCPToolHandler {
public:
    mcp::MCPToolResult callTool(const std::string& name, const JSON& arguments,
                                const mcp::MCPRequestContext& context) override {
        wanted = context.wantsProgress();
        if (name == "report") {
            for (const auto& step : *arguments["steps"]->arrayValue()) {
                const auto& fields = *step.arrayValue();
                std::optional<double> total;
                if (!fields[1].isNull()) total = number(fields[1]);
                context.reportProgress({number(fields[0]), total, *fields[2].stringValue()});
            }
            return {"done", false};
        }
        if (name == "keep") {
            std::lock_guard lock(mutex_);
            kept = context;
            return {"kept", false};
        }
        if (name == "hold") {
            context.reportProgress({1, std::nullopt, "before"});
            held.count_down();
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock lock(m);
            cv.wait_for(lock, context.cancellation(), 10s, [] { return false; });
            context.reportProgress({2, std::nullopt, "after"});
            return {"cancelled", false};
        }
        // flood
        flooding = std::jthread([context, this](std::stop_token stop) {
            for (int i = 1; !stop.stop_requested(); ++i) {
                context.reportProgress({static_cast<double>(i), std::nullopt, "flood"});
                flooded.fetch_add(1);
                std::this_thread::yield();
            }
        });
        while (flooded.load() < 10) std::this_thread::sleep_for(1ms);
        return {"flooded", false};
    }

    std::atomic<bool> wanted{false};
    std::mutex mutex_;
    std::optional<mcp::MCPRequestContext> kept;
    std::latch held{1};
    std::atomic<int> flooded{0};
    std::jthread flooding;
};

std::vector<mcp::MCPTool> catalogue() {
    auto schema = JSON::object({{"type", "object"}});
    return {{"report", "Reports.", schema, std::nullopt},
            {"keep", "Keeps its context.", schema, std::nullopt},
            {"hold", "Waits to be cancelled.", schema, std::nullopt},
            {"flood", "Reports without end.", schema, std::nullopt}};
}

std::string call(const std::string& id, const std::string& tool, const std::string& meta,
                 const std::string& arguments = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{)" + meta + R"("name":")" + tool +
           R"(","arguments":)" + arguments + "}}";
}

std::string textReply(const std::string& id, const std::string& text) {
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" + text +
           R"(","type":"text"}],"isError":false}})";
}

std::string notification(const std::string& token, const std::string& progress, const std::string& message,
                         const std::string& total = "") {
    return R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"message":")" + message +
           R"(","progress":)" + progress + R"(,"progressToken":)" + token +
           (total.empty() ? "" : R"(,"total":)" + total) + "}}";
}

class Progress : public PipeServedMCP<ProgressHandler> {
protected:
    void SetUp() override { serve(mcp::MCPServer::Info{"progress", "1", std::nullopt}, catalogue()); }
};

const std::string steps = R"({"steps":[[0,null,"zero"],[1.5,60,"one and a half"],[7,60,"seven"]]})";

struct TokenCase {
    const char* label;
    const char* token;  // as written in the request
};

class Tokens : public Progress, public testing::WithParamInterface<TokenCase> {};

TEST_P(Tokens, NotificationsCarryTheTokenAndPrecedeTheUnchangedReply) {
    std::string token = GetParam().token;
    send(call("1", "report", R"("_meta":{"progressToken":)" + token + "},", steps));
    EXPECT_EQ(next(), notification(token, "0.0", "zero"));
    EXPECT_EQ(next(), notification(token, "1.5", "one and a half", "60.0"));
    EXPECT_EQ(next(), notification(token, "7.0", "seven", "60.0"));
    EXPECT_EQ(next(), textReply("1", "done"));
    EXPECT_TRUE(handler->wanted);
}

INSTANTIATE_TEST_SUITE_P(StringOrInteger, Tokens,
                         testing::Values(TokenCase{"string", R"("tok-1")"}, TokenCase{"integer", "42"},
                                         TokenCase{"negative", "-3"}, TokenCase{"integral number", "7"},
                                         TokenCase{"empty string", R"("")"}),
                         [](const auto& info) {
                             return std::string(info.param.label) == "integral number" ? std::string("integral")
                                    : std::string(info.param.label) == "empty string"  ? std::string("empty")
                                                                                       : std::string(info.param.label);
                         });

class NoToken : public Progress, public testing::WithParamInterface<TokenCase> {};

TEST_P(NoToken, ReportsAreDroppedAndTheReplyIsTheSame) {
    send(call("1", "report", GetParam().token, steps));
    EXPECT_EQ(next(), textReply("1", "done"));
    EXPECT_FALSE(handler->wanted);
    expectNothingBefore();
}

INSTANTIATE_TEST_SUITE_P(Absent, NoToken,
                         testing::Values(TokenCase{"noMeta", ""}, TokenCase{"emptyMeta", R"("_meta":{},)"},
                                         TokenCase{"boolean", R"("_meta":{"progressToken":true},)"},
                                         TokenCase{"null", R"("_meta":{"progressToken":null},)"},
                                         TokenCase{"fraction", R"("_meta":{"progressToken":1.5},)"},
                                         TokenCase{"object", R"("_meta":{"progressToken":{"a":1}},)"},
                                         TokenCase{"metaNotObject", R"("_meta":"tok",)"},
                                         TokenCase{"tokenOutsideMeta", R"("progressToken":"tok",)"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(Progress, OnlyGrowingFiniteProgressIsSent) {
    send(call(
        "1", "report", R"("_meta":{"progressToken":"t"},)",
        R"({"steps":[[2,null,"a"],[2,null,"same"],[1,null,"less"],[3,"inf","infinite total"],["nan",null,"not a number"],["inf",null,"infinite"],[3,null,"b"]]})"));
    EXPECT_EQ(next(), notification(R"("t")", "2.0", "a"));
    EXPECT_EQ(next(), notification(R"("t")", "3.0", "b"));
    EXPECT_EQ(next(), textReply("1", "done"));
}

TEST_F(Progress, NothingAfterTheReply) {
    send(call("1", "keep", R"("_meta":{"progressToken":"t"},)"));
    EXPECT_EQ(next(), textReply("1", "kept"));
    std::lock_guard lock(handler->mutex_);
    ASSERT_TRUE(handler->kept);
    EXPECT_TRUE(handler->kept->wantsProgress());
    handler->kept->reportProgress({1, std::nullopt, "late"});
    expectNothingBefore();
}

TEST_F(Progress, NothingAfterTheCancellation) {
    send(call("9", "hold", R"("_meta":{"progressToken":5},)"));
    handler->held.wait();
    EXPECT_EQ(next(), notification("5", "1.0", "before"));
    send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":9}})");
    EXPECT_EQ(next(), textReply("9", "cancelled"));  // the report made after the cancellation is not there
    expectNothingBefore();
}

TEST_F(Progress, AReportingThreadThatOutlivesTheCallIsCutOffAtTheReply) {
    send(call("1", "flood", R"("_meta":{"progressToken":"f"},)"));
    int notifications = 0;
    for (;;) {
        auto line = next();
        ASSERT_TRUE(line);
        if (*line == textReply("1", "flooded")) break;
        EXPECT_EQ(JSON::parse(*line)["method"]->stringValue(), "notifications/progress") << *line;
        ++notifications;
    }
    EXPECT_GE(notifications, 9);  // the last one may be the one the reply cut off
    int before = handler->flooded.load();
    while (handler->flooded.load() < before + 100) std::this_thread::sleep_for(1ms);
    expectNothingBefore();  // the thread still reports, but nothing of it is written
    handler->flooding.request_stop();
}

TEST_F(Progress, CallsInABatchReportBeforeTheBatchReply) {
    send("[" + call("1", "report", R"("_meta":{"progressToken":"b"},)", R"({"steps":[[1,null,"x"]]})") + "," +
         call("2", "report", "", R"({"steps":[[1,null,"y"]]})") + "]");
    EXPECT_EQ(next(), notification(R"("b")", "1.0", "x"));
    EXPECT_EQ(next(), "[" + textReply("1", "done") + "," + textReply("2", "done") + "]");
}

TEST_F(Progress, UnservedMethodsAreAnsweredAtOnceWhileACallWaits) {
    send(call("1", "hold", ""));
    handler->held.wait();
    auto begin = std::chrono::steady_clock::now();
    // Newer clients probe this first and fall back on the error.
    send(R"({"jsonrpc":"2.0","id":2,"method":"server/discover","params":{}})");
    EXPECT_EQ(next(),
              R"({"error":{"code":-32601,"message":"Method not found: server/discover"},"id":2,"jsonrpc":"2.0"})");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
    EXPECT_EQ(next(), textReply("1", "cancelled"));
}

// In a child process: 3 when construction fails for want of a descriptor for the timer.
void constructWithoutDescriptors() {
    std::shared_ptr<mcp::MCPTransport> transport = std::make_shared<mcp::StdioMCPTransport>(-1, -1);
    std::shared_ptr<mcp::MCPToolHandler> handler = std::make_shared<ProgressHandler>();
    // The same reference counting once while descriptors are left: the undefined-behaviour
    // sanitizer checks the first call on each type through a pipe of its own, then remembers.
    {
        auto t = transport;
        auto h = handler;
        try {
            throw std::system_error(EMFILE, std::generic_category(), "timerfd_create");
        } catch (const std::system_error& error) {
            [[maybe_unused]] bool same = error.code().value() == EMFILE && std::string(error.what()).starts_with("t");
        }
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit none{0, saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &none);
    try {
        mcp::MCPServer server({"x", "1", std::nullopt}, {}, handler, transport);
    } catch (const std::system_error& error) {
        ::setrlimit(RLIMIT_NOFILE, &saved);
        bool expected = error.code().value() == EMFILE && std::string(error.what()).starts_with("timerfd_create");
        ::_exit(expected ? 3 : 4);  // no exit handlers
    }
    ::_exit(5);
}

TEST(ProgressServer, NoDescriptorForTheHandOffTimerIsAFailureAtConstruction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(constructWithoutDescriptors(), testing::ExitedWithCode(3), "");
}

}  // namespace
