// Round trip of one "tools/call" through MCPServer and StdioMCPTransport over pipes, with a
// handler that answers at once; and the JSON work of one call alone: reading the request line
// and writing the reply's text.
#include "QuillonServer/JSONRPCMessage.h"
#include "QuillonServer/MCPServer.h"
#include "QuillonServer/MCPToolResult.h"
#include "QuillonServer/StdioMCPTransport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Immediate : public mcp::MCPToolHandler {
public:
    mcp::MCPToolResult callTool(const std::string&, const mcp::JSON&, const mcp::MCPRequestContext&) override {
        return {R"({"state" : "idle"})", false};
    }
};

// A server serving on one pair of pipes, and the host's ends of them.
class Rig {
public:
    Rig() {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) std::abort();
        hostWrite_ = in[1];
        hostRead_ = out[0];
        serverIn_ = in[0];
        serverOut_ = out[1];
        auto transport = std::make_shared<mcp::StdioMCPTransport>(serverIn_, serverOut_);
        std::vector<mcp::MCPTool> tools{
            {"recorder_recording_status", "Status.", mcp::JSON::object({{"type", "object"}}), std::nullopt}};
        server_ = std::make_unique<mcp::MCPServer>(mcp::MCPServer::Info{"bench", "1", std::nullopt}, tools,
                                                   std::make_shared<Immediate>(), transport);
        serving_ = std::thread([this] { server_->serve(); });
    }
    ~Rig() {
        ::close(hostWrite_);
        serving_.join();
        server_.reset();
        for (int fd : {hostRead_, serverIn_, serverOut_}) ::close(fd);
    }
    void send(int id) {
        std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                           R"(,"method":"tools/call","params":{"name":"recorder_recording_status","arguments":{}}})"
                           "\n";
        if (::write(hostWrite_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
    }
    // Blocks until one whole reply line has arrived.
    void receive() {
        for (;;) {
            if (auto feed = buffer_.find('\n'); feed != std::string::npos) {
                buffer_.erase(0, feed + 1);
                return;
            }
            char block[4096];
            ssize_t n = ::read(hostRead_, block, sizeof block);
            if (n <= 0) std::abort();
            buffer_.append(block, static_cast<std::size_t>(n));
        }
    }

private:
    int hostWrite_, hostRead_, serverIn_, serverOut_;
    std::string buffer_;
    std::unique_ptr<mcp::MCPServer> server_;
    std::thread serving_;
};

void RoundTrip(benchmark::State& state) {
    Rig rig;
    std::vector<double> samples;
    samples.reserve(1 << 20);
    int id = 0;
    for (int warm = 0; warm < 100; ++warm) {
        rig.send(++id);
        rig.receive();
    }
    for (auto _ : state) {
        auto begin = std::chrono::steady_clock::now();
        rig.send(++id);
        rig.receive();
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin).count());
    }
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}
BENCHMARK(RoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

void EightInFlight(benchmark::State& state) {
    Rig rig;
    constexpr int inFlight = 8;
    int id = 0;
    for (int i = 0; i < inFlight; ++i) rig.send(++id);
    for (auto _ : state) {
        rig.receive();
        rig.send(++id);
    }
    for (int i = 0; i < inFlight; ++i) rig.receive();
    state.counters["requests_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(EightInFlight)->Iterations(50000)->Unit(benchmark::kMicrosecond)->UseRealTime();

const std::string requestLine =
    R"({"jsonrpc":"2.0","id":1234,"method":"tools/call","params":{"name":"recorder_recording_status","arguments":{}}})";

void ReadRequestLine(benchmark::State& state) {
    for (auto _ : state) {
        mcp::JSONRPCMessage message(mcp::JSON::parse(requestLine));
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(ReadRequestLine);

void WriteToolReply(benchmark::State& state) {
    const mcp::MCPToolResult result{"{\n  \"automationEnabled\" : true,\n  \"captureReadiness\" : \"ready\"\n}", false};
    const mcp::JSON id(1234);
    for (auto _ : state) {
        std::string reply = R"({"id":)";
        id.serialize(reply);
        reply += R"(,"jsonrpc":"2.0","result":)";
        result.writePayload(reply);
        reply += '}';
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(WriteToolReply);

}  // namespace

BENCHMARK_MAIN();
