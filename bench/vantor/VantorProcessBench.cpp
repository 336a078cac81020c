// Whole-process cost of `vantor status` against a running app, beside a minimal C client that
// makes the same three connections (a probe, then capabilities and status, one line each way).
// Reports medians of wall time and peak resident memory; it asserts nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Client/AutomationEndpoint.h"

namespace {

struct Sample {
    double milliseconds;
    long peakKilobytes;
    int status;
};

Sample runOnce(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return {elapsed, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

template <class T>
T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 51;
    const std::string bundle = LUMORA_BUNDLE_DIR;
    const std::string vantor = bundle + "/Contents/Helpers/vantor";
    const std::string baseline = BASELINE_CLIENT;

    char home[] = "/tmp/vantor-bench-XXXXXX";
    if (::mkdtemp(home) == nullptr) return 1;
    ::setenv("HOME", home, 1);
    ::unsetenv("RECORDER_APP");
    const std::string socket =
        recorder::AutomationEndpoint::standard(LUMORA_BUNDLE_IDENTIFIER, LUMORA_APP_GROUP).path();

    // Start the app the way vantor would, and keep its process to stop it afterwards.
    const pid_t app = ::fork();
    if (app == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string program = bundle + "/Contents/MacOS/Lumora";
        ::execl(program.c_str(), program.c_str(), "--automation-launch", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) {
        ready = runOnce({vantor, "status"}).status == 0;
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ready) {
        std::fprintf(stderr, "the app did not answer\n");
        ::kill(app, SIGTERM);
        return 1;
    }

    // The connections `vantor status` makes: the reachability probe, capabilities, status.
    const std::string capabilities = R"({"command":"capabilities","protocolVersion":1,"requestId":"bench-1"})";
    const std::string request = R"({"command":"status","parameters":{},"protocolVersion":1,"requestId":"bench-2"})";
    std::vector<double> vantorTimes, baselineTimes, startupTimes;
    std::vector<long> vantorPeaks, baselinePeaks;
    int failures = 0;
    // Interleaved, so that drift in the machine's load affects both alike.
    for (int i = 0; i < rounds; ++i) {
        const auto v = runOnce({vantor, "status"});
        const auto b = runOnce({baseline, socket, "-", capabilities, request});
        // The floor of vantor's own start-up and exit: help is answered before any connection.
        startupTimes.push_back(runOnce({vantor, "--help"}).milliseconds);
        failures += (v.status != 0) + (b.status != 0);
        vantorTimes.push_back(v.milliseconds);
        vantorPeaks.push_back(v.peakKilobytes);
        baselineTimes.push_back(b.milliseconds);
        baselinePeaks.push_back(b.peakKilobytes);
    }
    ::kill(app, SIGTERM);
    ::waitpid(app, nullptr, 0);
    std::filesystem::remove_all(home);

    const double vt = median(vantorTimes), bt = median(baselineTimes);
    std::printf("rounds: %d (failed runs: %d)\n", rounds, failures);
    std::printf("vantor status   median wall %.2f ms, median peak RSS %ld KB\n", vt, median(vantorPeaks));
    std::printf("baseline client median wall %.2f ms, median peak RSS %ld KB\n", bt, median(baselinePeaks));
    std::printf("vantor --help   median wall %.2f ms (start-up and exit alone)\n", median(startupTimes));
    std::printf("ratio (vantor / baseline): %.2f\n", vt / bt);
    return 0;
}
