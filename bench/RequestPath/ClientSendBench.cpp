// AutomationClient::send in turn against a server in another process: p50 and p99 in
// microseconds, to set beside rawClient's figures for the same server and request.
//   clientSendBench SOCKET-DIRECTORY REQUEST-ID N
// The server must answer a capabilities request with that request identifier (minimalServer
// given the app's reply does).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: clientSendBench SOCKET-DIRECTORY REQUEST-ID N\n");
        return 2;
    }
    const int rounds = std::atoi(argv[3]);
    if (rounds < 1) return 2;
    const recorder::AutomationClient client(recorder::AutomationEndpoint("app.lumora.Lumora", argv[1]), 10);
    recorder::AutomationRequest request;
    request.requestID = argv[2];
    request.command = recorder::AutomationCommand::capabilities();
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        try {
            auto response = client.send<recorder::CapabilitiesPayload>(request);
            if (!response.result) return 6;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "clientSendBench: %s\n", error.what());
            return 6;
        }
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("p50_us %.1f p99_us %.1f\n", latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100]);
    return 0;
}
