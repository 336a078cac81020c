#pragma once
// Pipes for feeding the transport and the server in the framework's tests, the support
// library's line reader for what they write back, and a server served over them.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "QuillonServer/MCPServer.h"
#include "QuillonServer/StdioMCPTransport.h"
#include "tests/Support/LineReader.h"

// One pipe with both ends owned; closing an end twice is harmless.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    void send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(write, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
};

using testsupport::LineReader;

// An MCP server with a handler of type Handler, serving the pipes on a thread of its own until
// the test closes its input.
template <class Handler>
class PipeServedMCP : public testing::Test {
protected:
    void serve(mcp::MCPServer::Info info, std::vector<mcp::MCPTool> tools) {
        handler = std::make_shared<Handler>();
        auto transport = std::make_shared<mcp::StdioMCPTransport>(in.read, out.write);
        server = std::make_unique<mcp::MCPServer>(std::move(info), std::move(tools), handler, transport);
        serving = std::async(std::launch::async, [this] { server->serve(); });
    }
    void TearDown() override {
        if (serving.valid()) {
            in.closeWrite();
            serving.wait();
        }
        server.reset();
    }
    void send(const std::string& line) { in.send(line + "\n"); }
    std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return reader.next(timeout);
    }
    // Proves that nothing was written for what came before: the next line is the probe's reply.
    void expectNothingBefore() {
        send(R"({"jsonrpc":"2.0","id":"probe","method":"ping"})");
        EXPECT_EQ(next(), R"({"id":"probe","jsonrpc":"2.0","result":{}})");
    }

    Pipe in, out;
    LineReader reader{out.read};
    std::shared_ptr<Handler> handler;
    std::unique_ptr<mcp::MCPServer> server;
    std::future<void> serving;
};
