// Latency of "tools/call" for recorder_recording_status from a host over stdio through Quillon
// to the running reference app, beside one bare AutomationClient exchange with the same app in
// the same run; and Quillon's resident memory after start-up and after 10 000 calls.
// Reports figures; never fails a build.
#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationCommand.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const std::string bundle = LUMORA_BUNDLE_DIR;

pid_t spawn(const std::string& program, const std::vector<std::string>& args, int in, int out) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (in >= 0)
            ::dup2(in, 0);
        if (out >= 0)
            ::dup2(out, 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

long rssKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct Percentiles {
    double p50, p99;
};
Percentiles percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    std::string next() {
        for (;;) {
            if (auto feed = buffer_.find('\n'); feed != std::string::npos) {
                std::string line = buffer_.substr(0, feed);
                buffer_.erase(0, feed + 1);
                return line;
            }
            char block[65536];
            ssize_t n = ::read(fd_, block, sizeof block);
            if (n <= 0)
                return {};
            buffer_.append(block, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
};

void writeLine(int fd, const std::string& line) {
    std::string bytes = line + "\n";
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
}

} // namespace

int main() {
    char pattern[] = "/tmp/qbench-XXXXXX";
    fs::path home = ::mkdtemp(pattern);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("RECORDER_APP");
    auto endpoint = recorder::AutomationEndpoint::standard(LUMORA_BUNDLE_IDENTIFIER, LUMORA_APP_GROUP);

    pid_t app = spawn(bundle + "/Contents/MacOS/Lumora", {"--automation-launch"}, -1, -1);
    recorder::AutomationClient bare(endpoint, 10);
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!bare.isReachable() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!bare.isReachable()) {
        std::fprintf(stderr, "the reference app did not open its socket\n");
        return 1;
    }

    int toQuillon[2], fromQuillon[2];
    if (::pipe2(toQuillon, O_CLOEXEC) != 0 || ::pipe2(fromQuillon, O_CLOEXEC) != 0)
        return 1;
    pid_t quillon = spawn(bundle + "/Contents/Helpers/Quillon", {}, toQuillon[0], fromQuillon[1]);
    ::close(toQuillon[0]);
    ::close(fromQuillon[1]);
    LineReader replies(fromQuillon[0]);
    writeLine(toQuillon[1], R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
    replies.next();
    long rssAtStart = rssKilobytes(quillon);

    // QUILLON_BENCH_CALLS shortens a run while trying things out.
    const char* asked = std::getenv("QUILLON_BENCH_CALLS");
    const int calls = asked ? std::max(10, std::atoi(asked)) : 10000;
    std::vector<double> mcp, direct;
    mcp.reserve(calls);
    for (int i = 1; i <= calls; ++i) {
        auto begin = Clock::now();
        writeLine(toQuillon[1], R"({"jsonrpc":"2.0","id":)" + std::to_string(i) +
                                    R"(,"method":"tools/call","params":{"name":"recorder_recording_status","arguments":{}}})");
        if (replies.next().find("\"isError\":false") == std::string::npos) {
            std::fprintf(stderr, "call %d failed\n", i);
            return 1;
        }
        mcp.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
        if (i % 5 == 0) {
            // Interleaved, so that both see the same machine conditions.
            recorder::AutomationRequest request{1, "bench-" + std::to_string(i), std::nullopt, recorder::AutomationCommand::status()};
            auto start = Clock::now();
            bare.send<recorder::StatusPayload>(request);
            direct.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    long rssAfter = rssKilobytes(quillon);

    ::close(toQuillon[1]);
    int status = 0;
    ::waitpid(quillon, &status, 0);
    ::kill(app, SIGTERM);
    ::waitpid(app, &status, 0);
    fs::remove_all(home);

    auto viaQuillon = percentiles(mcp);
    auto bareExchange = percentiles(direct);
    std::printf("tools/call recorder_recording_status via Quillon: p50 %.1f us, p99 %.1f us (%d calls)\n", viaQuillon.p50,
                viaQuillon.p99, calls);
    std::printf("bare AutomationClient status exchange:           p50 %.1f us, p99 %.1f us (%zu exchanges)\n",
                bareExchange.p50, bareExchange.p99, direct.size());
    std::printf("Quillon resident memory: %ld kB after start-up, %ld kB after %d calls\n", rssAtStart, rssAfter, calls);
    return 0;
}
