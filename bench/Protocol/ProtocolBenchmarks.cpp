// Hot paths of the wire model: decoding a request or a reply (directly, and through the tree for
// comparison), encoding a reply, splitting a byte stream.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/AutomationResponse.h"
#include "RecorderAutomation/Protocol/AutomationResponseEncoder.h"
#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"
#include "RecorderAutomation/Protocol/LineFrameDecoder.h"

namespace {

using namespace recorder;

const std::string startFrame =
    R"({"appInstanceId":"5E0C2B8A-3D2F-4A6B-9C1E-7F8D9A0B1C2D","command":"start",)"
    R"("parameters":{"durationSeconds":30,"source":{"id":"69733378","kind":"display"},"systemAudio":true},)"
    R"("protocolVersion":1,"requestId":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"})";

void decodeStartRequest(benchmark::State& state) {
    for (auto _ : state) {
        auto request = AutomationRequest::decode(startFrame);
        benchmark::DoNotOptimize(request);
    }
}
BENCHMARK(decodeStartRequest);

void decodeStartRequestThroughTree(benchmark::State& state) {
    for (auto _ : state) {
        auto request = AutomationRequest::decodeThroughTree(startFrame);
        benchmark::DoNotOptimize(request);
    }
}
BENCHMARK(decodeStartRequestThroughTree);

const std::string capabilitiesFrame =
    R"({"appInstanceId":"5E0C2B8A-3D2F-4A6B-9C1E-7F8D9A0B1C2D","ok":true,"protocolVersion":1,)"
    R"("requestId":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0","result":{"appName":"Lumora","appVersion":"1.0",)"
    R"("automationEnabled":true,"bundleIdentifier":"app.lumora.Lumora","captureReadiness":"ready",)"
    R"("maximumDurationSeconds":14400,"microphoneSupported":false,"supportedSources":["display"],)"
    R"("systemAudioSupported":true,"video":{"codec":"h264","container":"mp4","maximumFramesPerSecond":60,)"
    R"("maximumHeight":4320,"maximumWidth":7680}}})";

void decodeCapabilitiesResponse(benchmark::State& state) {
    for (auto _ : state) {
        auto response = AutomationResponse<CapabilitiesPayload>::decode(capabilitiesFrame);
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(decodeCapabilitiesResponse);

void decodeCapabilitiesResponseThroughTree(benchmark::State& state) {
    for (auto _ : state) {
        auto response = AutomationResponse<CapabilitiesPayload>::decodeThroughTree(capabilitiesFrame);
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(decodeCapabilitiesResponseThroughTree);

void encodeResultResponse(benchmark::State& state) {
    const auto reply =
        AutomationReply::result({"A1B2C3D4-E5F6-4789-9ABC-DEF012345678",
                                 AutomationSessionState::saved,
                                 SavedRecordingPayload{"/home/user/Movies/Lumora/Recording 2026-12-07 at 23.40.12.mp4",
                                                       30.016,
                                                       3024,
                                                       1964,
                                                       48'213'664,
                                                       "durationLimit",
                                                       {}},
                                 {}});
    for (auto _ : state) {
        auto frame = AutomationResponseEncoder::encode(reply, "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
                                                       "5E0C2B8A-3D2F-4A6B-9C1E-7F8D9A0B1C2D");
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(encodeResultResponse);

// One MiB of ~200-byte frames, fed to a decoder in 4096-byte reads as a socket would deliver it.
void lineFrameDecoderStream(benchmark::State& state) {
    std::string stream;
    std::string frame(199, 'x');
    frame += '\n';
    while (stream.size() + frame.size() <= (1u << 20)) stream += frame;
    std::size_t frames = 0;
    for (auto _ : state) {
        LineFrameDecoder decoder(65536);
        for (std::size_t offset = 0; offset < stream.size(); offset += 4096) {
            auto completed = decoder.append(std::string_view(stream).substr(offset, 4096));
            frames += completed.size();
            benchmark::DoNotOptimize(completed);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    benchmark::DoNotOptimize(frames);
}
BENCHMARK(lineFrameDecoderStream);

}  // namespace

BENCHMARK_MAIN();
