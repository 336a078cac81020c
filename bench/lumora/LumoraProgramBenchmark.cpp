// Whole program runs of the reference app: launch to a reachable socket, start to status
// "recording", and stop to result "saved" after 5 seconds of capture. Wall-clock figures of
// real ffmpeg captures; they report, they do not judge.

#include <benchmark/benchmark.h>

#include "tests/Support/LumoraProcess.h"

namespace {

using namespace std::chrono_literals;
using testsupport::LumoraHome;
using testsupport::LumoraProcess;
using Clock = std::chrono::steady_clock;

recorder::StartParameters firstDisplay() {
    recorder::StartParameters p;
    p.source = {recorder::SourceKind::display, "1"};
    return p;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void waitUntilRecording(recorder::RecorderAutomationSession& session, const std::string& id) {
    auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        auto status = session.status(id);
        if (status.session && status.session->state == recorder::AutomationSessionState::recording) return;
        std::this_thread::sleep_for(5ms);
    }
    throw std::runtime_error("the recording did not start");
}

void waitUntilFinal(recorder::RecorderAutomationSession& session, const std::string& id) {
    auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline) {
        if (recorder::automation_session_state::isFinal(session.result(id).state)) return;
        std::this_thread::sleep_for(5ms);
    }
    throw std::runtime_error("the recording was not saved");
}

void LaunchToReachableSocket(benchmark::State& state) {
    for (auto _ : state) {
        LumoraHome home;
        home.writeSettings(lumora::Settings{});
        auto begin = Clock::now();
        LumoraProcess lumora(home, {"--automation-launch"});
        if (!lumora.waitForSocket(20s)) state.SkipWithError("no socket");
        state.SetIterationTime(seconds(Clock::now() - begin));
    }
}
BENCHMARK(LaunchToReachableSocket)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// The default display, 1920x1080 at 30 frames per second.
void StartToRecording(benchmark::State& state) {
    LumoraHome home;
    home.writeSettings(lumora::Settings{});
    LumoraProcess lumora(home, {"--automation-launch"});
    lumora.waitForSocket(20s);
    auto session = lumora.session();
    session.capabilities();
    for (auto _ : state) {
        auto begin = Clock::now();
        auto receipt = session.start(firstDisplay());
        waitUntilRecording(session, receipt.sessionID);
        state.SetIterationTime(seconds(Clock::now() - begin));
        session.stop(receipt.sessionID);
        waitUntilFinal(session, receipt.sessionID);
    }
}
BENCHMARK(StartToRecording)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void StopToSavedAfterFiveSeconds(benchmark::State& state) {
    LumoraHome home;
    home.writeSettings(lumora::Settings{});
    LumoraProcess lumora(home, {"--automation-launch"});
    lumora.waitForSocket(20s);
    auto session = lumora.session();
    session.capabilities();
    for (auto _ : state) {
        auto receipt = session.start(firstDisplay());
        waitUntilRecording(session, receipt.sessionID);
        std::this_thread::sleep_for(5s);
        auto begin = Clock::now();
        session.stop(receipt.sessionID);
        waitUntilFinal(session, receipt.sessionID);
        state.SetIterationTime(seconds(Clock::now() - begin));
    }
}
BENCHMARK(StopToSavedAfterFiveSeconds)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
