// One AutomationClient::send round trip against an in-process listener with a canned reply,
// beside a raw baseline over the same listener (connect, write, read one line, close; no JSON,
// no framing). Reports p50 and p99 of each and the ratio of the medians.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "tests/Support/AppSocket.h"
#include "tests/Support/TemporaryDirectory.h"

namespace {

using Clock = std::chrono::steady_clock;

// Answers each connection's one line with the canned reply, on its own thread.
struct CannedListener {
    explicit CannedListener(const std::string& reply)
        : socket(directory / "automation.sock",
                 testsupport::AppSocket::Script([reply](const std::string&) { return std::optional(reply); })) {}
    std::string path() const { return socket.path().string(); }

    testsupport::TemporaryDirectory directory{"lumora-bench"};
    testsupport::AppSocket socket;
};

const std::string requestID = "7F3C9A52-1B6E-4D0A-9C51-2E8F4B7D6A10";

std::string cannedReply() {
    recorder::CapabilitiesPayload payload;
    payload.appName = "Lumora";
    payload.appVersion = "1.3";
    payload.bundleIdentifier = "app.lumora.Lumora";
    payload.automationEnabled = true;
    payload.captureReadiness = "ready";
    payload.maximumDurationSeconds = 3600;
    const recorder::AutomationResponse<recorder::CapabilitiesPayload> response(requestID, "INSTANCE", payload);
    return response.toJSON().dump() + "\n";
}

CannedListener& listener() {
    static CannedListener instance(cannedReply());
    return instance;
}

// Latencies per benchmark, for the percentiles.
std::map<std::string, std::vector<double>>& samples() {
    static std::map<std::string, std::vector<double>> all;
    return all;
}

void report(benchmark::State& state, std::vector<double>& latencies) {
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

void BM_RawRoundTrip(benchmark::State& state) {
    const std::string request = "{\"command\":\"capabilities\"}\n";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, listener().path().c_str(), sizeof address.sun_path - 1);
    auto& latencies = samples()["raw"];
    char buffer[4096];
    for (auto _ : state) {
        const auto start = Clock::now();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
        (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string line;
        while (line.find('\n') == std::string::npos) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        benchmark::DoNotOptimize(line);
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, latencies);
}

void BM_ClientSend(benchmark::State& state) {
    const recorder::AutomationClient client(
        recorder::AutomationEndpoint("app.lumora.Lumora", listener().directory.path()), 10);
    recorder::AutomationRequest request;
    request.requestID = requestID;
    request.appInstanceID = "INSTANCE";
    request.command = recorder::AutomationCommand::capabilities();
    auto& latencies = samples()["client"];
    for (auto _ : state) {
        const auto start = Clock::now();
        auto response = client.send<recorder::CapabilitiesPayload>(request);
        benchmark::DoNotOptimize(response);
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, latencies);
}

// The same exchange without JSON: separates the
// coding from the socket work.
void BM_ClientExchangeOnly(benchmark::State& state) {
    const recorder::AutomationClient client(
        recorder::AutomationEndpoint("app.lumora.Lumora", listener().directory.path()), 10);
    const std::string frame = "{\"command\":\"capabilities\"}\n";
    auto& latencies = samples()["exchange"];
    for (auto _ : state) {
        const auto start = Clock::now();
        auto line = client.exchange(frame);
        benchmark::DoNotOptimize(line);
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, latencies);
}

// Encoding the request and decoding the canned reply, without any socket.
void BM_ClientCoding(benchmark::State& state) {
    recorder::AutomationRequest request;
    request.requestID = requestID;
    request.appInstanceID = "INSTANCE";
    request.command = recorder::AutomationCommand::capabilities();
    const std::string reply = cannedReply();
    for (auto _ : state) {
        auto frame = recorder::LineFrameEncoder::encode(request);
        auto response = recorder::AutomationResponse<recorder::CapabilitiesPayload>::decode(
            std::string_view(reply).substr(0, reply.size() - 1));
        benchmark::DoNotOptimize(frame);
        benchmark::DoNotOptimize(response);
    }
}

BENCHMARK(BM_ClientCoding);
BENCHMARK(BM_RawRoundTrip)->Iterations(5000)->Repetitions(1);
BENCHMARK(BM_ClientSend)->Iterations(5000)->Repetitions(1);
BENCHMARK(BM_ClientExchangeOnly)->Iterations(5000)->Repetitions(1);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& all = samples();
    if (all.count("raw") != 0 && all.count("client") != 0 && !all["raw"].empty() && !all["client"].empty()) {
        const auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        const auto p99 = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[static_cast<std::size_t>(0.99 * static_cast<double>(v.size() - 1))];
        };
        std::printf("client/raw p50 ratio: %.2f (target <= 1.5), p99 ratio: %.2f\n",
                    median(all["client"]) / median(all["raw"]), p99(all["client"]) / p99(all["raw"]));
    }
    return 0;
}
