#include "QuillonServer/StdioMCPTransport.h"

#include "Pipes.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <set>
#include <thread>
#include <vector>

using mcp::StdioMCPTransport;

namespace {

std::vector<std::string> collect(const mcp::MCPLineStream& stream) {
    std::vector<std::string> lines;
    for (const auto& line : stream) lines.push_back(line);
    return lines;
}

TEST(StdioMCPTransport, SplitsLinesDroppingCarriageReturnsEmptyLinesAndPartialTail) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write);
    auto stream = transport.lines();
    in.send("a\r\nb\n\n\r\n");
    in.send("c");       // a line may span reads
    in.send("d\nx\r");  // no final line feed: lost
    in.closeWrite();
    EXPECT_EQ(collect(stream), (std::vector<std::string>{"a", "b", "cd"}));
}

TEST(StdioMCPTransport, AssemblesLinesLongerThanOneReadBlock) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write);
    auto stream = transport.lines();
    std::string longLine(3 * StdioMCPTransport::readBlockBytes + 17, 'x');
    std::thread writer([&] {
        in.send(longLine + "\nshort\n");
        in.closeWrite();
    });
    auto lines = collect(stream);
    writer.join();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], longLine);
    EXPECT_EQ(lines[1], "short");
}

TEST(StdioMCPTransport, ReaderThreadIsNamed) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write);
    auto stream = transport.lines();
    in.send("first\n");
    ASSERT_EQ(stream.next(), "first");  // the thread is running by now
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.insert(name);
    }
    EXPECT_TRUE(names.contains("mcp.stdin"));
    in.closeWrite();
    EXPECT_EQ(stream.next(), std::nullopt);
}

TEST(StdioMCPTransport, WritesOneLinePerMessage) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write);
    transport.write(R"({"a":1})");
    transport.write("");
    LineReader reader(out.read);
    EXPECT_EQ(reader.next(), R"({"a":1})");
    EXPECT_EQ(reader.next(), "");
}

TEST(StdioMCPTransport, ConcurrentWritesNeverInterleave) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write);
    constexpr int writers = 4, messages = 50;
    // Longer than the pipe's atomic-write size, so a torn write would show.
    auto message = [](int w, int m) {
        return std::to_string(w) + ":" + std::to_string(m) + ":" + std::string(8000, char('a' + w));
    };
    std::vector<std::string> received;
    std::thread drain([&] {
        LineReader reader(out.read);
        for (int i = 0; i < writers * messages; ++i)
            if (auto line = reader.next()) received.push_back(*line);
    });
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            for (int m = 0; m < messages; ++m) transport.write(message(w, m));
        });
    for (auto& t : threads) t.join();
    drain.join();
    ASSERT_EQ(received.size(), std::size_t(writers * messages));
    std::set<std::string> expected, got(received.begin(), received.end());
    for (int w = 0; w < writers; ++w)
        for (int m = 0; m < messages; ++m) expected.insert(message(w, m));
    EXPECT_EQ(got, expected);
}

TEST(StdioMCPTransport, WriteToClosedOutputIsDroppedAndProcessSurvives) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write);
    out.closeRead();
    transport.write("nobody listens");
    transport.write("still alive");
    EXPECT_EQ(::write(out.write, "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
}

class TraceFile : public testing::Test {
protected:
    std::vector<std::string> traceLines() {
        std::ifstream file(dir / "mcp-trace.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) lines.push_back(line);
        return lines;
    }
    testsupport::TemporaryDirectory dir{"mcp-trace"};
};

TEST_F(TraceFile, OneExchangeAddsThreeLines) {
    Pipe in, out;
    {
        StdioMCPTransport transport(in.read, out.write, dir / "mcp-trace.log");
        EXPECT_TRUE(transport.isTracing());
        auto stream = transport.lines();
        in.send("{\"id\":1,\"method\":\"ping\"}\r\n");
        ASSERT_EQ(stream.next(), R"({"id":1,"method":"ping"})");
        transport.write(R"({"id":1,"jsonrpc":"2.0","result":{}})");
        in.closeWrite();
        EXPECT_EQ(stream.next(), std::nullopt);
    }
    auto lines = traceLines();
    ASSERT_EQ(lines.size(), 3u);
    // "---- session <pid> yyyy-MM-dd HH:mm:ss +0000 ----"
    std::string prefix = "---- session " + std::to_string(::getpid()) + " ";
    ASSERT_TRUE(lines[0].starts_with(prefix)) << lines[0];
    std::string date = lines[0].substr(prefix.size());
    ASSERT_EQ(date.size(), std::string("2026-01-31 23:59:59 +0000 ----").size()) << lines[0];
    for (std::size_t i = 0; i < 19; ++i)
        EXPECT_TRUE(std::string("dddd-dd-dd dd:dd:dd")[i] == 'd'
                        ? std::isdigit(static_cast<unsigned char>(date[i])) != 0
                        : date[i] == std::string("dddd-dd-dd dd:dd:dd")[i])
            << lines[0];
    EXPECT_EQ(date.substr(19), " +0000 ----");
    EXPECT_EQ(lines[1], R"(<< {"id":1,"method":"ping"})");
    EXPECT_EQ(lines[2], R"(>> {"id":1,"jsonrpc":"2.0","result":{}})");
}

TEST_F(TraceFile, AppendsToAnExistingLogAndSkipsEmptyInputLines) {
    { std::ofstream(dir / "mcp-trace.log") << "earlier\n"; }
    Pipe in, out;
    {
        StdioMCPTransport transport(in.read, out.write, dir / "mcp-trace.log");
        auto stream = transport.lines();
        in.send("\n\nx\n");
        in.closeWrite();
        EXPECT_EQ(stream.next(), "x");
        EXPECT_EQ(stream.next(), std::nullopt);
    }
    auto lines = traceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier");
    EXPECT_TRUE(lines[1].starts_with("---- session "));
    EXPECT_EQ(lines[2], "<< x");
}

TEST_F(TraceFile, UnopenableLocationLeavesTracingOff) {
    Pipe in, out;
    StdioMCPTransport transport(in.read, out.write, dir / "missing-folder" / "mcp-trace.log");
    EXPECT_FALSE(transport.isTracing());
    transport.write("fine");
    LineReader reader(out.read);
    EXPECT_EQ(reader.next(), "fine");
}

}  // namespace
