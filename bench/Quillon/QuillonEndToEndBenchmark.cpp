// Quillon's own cost, measured in one run against its floors:
// - a "tools/call" of recorder_recording_status written by a raw client over stdio through Quillon
//   to the running reference app, interleaved with the bare exchange (connect, one request line,
//   one reply line, close) with the same app on the caller's thread: the difference of the
//   medians is what Quillon adds;
// - its resident memory after 10 000 and after 100 000 calls;
// - from fork to the "initialize" reply, against a C program that reads one line and writes one.
// Run it pinned to one processor (`taskset -c 0 ...`), as the machine's other work then shares
// that processor the same way for both sides. Reports figures; never fails a build.
#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Protocol/AutomationCommand.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Protocol/LineFrameEncoder.h"
#include "RecorderAutomation/Protocol/StatusPayload.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
        if (in >= 0) ::dup2(in, 0);
        if (out >= 0) ::dup2(out, 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

long rssKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// User plus system time of a process so far, in microseconds.
double cpuMicroseconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto fields = text.substr(text.rfind(')') + 2);
    unsigned long long utime = 0, stime = 0;
    std::sscanf(fields.c_str(), "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime);
    return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
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
            if (n <= 0) return {};
            buffer_.append(block, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
};

void writeLine(int fd, const std::string& line) {
    std::string bytes = line + "\n";
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
}

}  // namespace

int main() {
    char pattern[] = "/tmp/qbench-XXXXXX";
    fs::path home = ::mkdtemp(pattern);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("RECORDER_APP");
    auto endpoint = recorder::AutomationEndpoint::standard(LUMORA_BUNDLE_IDENTIFIER, LUMORA_APP_GROUP);

    pid_t app = spawn(bundle + "/Contents/MacOS/Lumora", {"--automation-launch"}, -1, -1);
    recorder::AutomationClient bare(endpoint, 10);
    auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!bare.isReachable() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!bare.isReachable()) {
        std::fprintf(stderr, "the reference app did not open its socket\n");
        return 1;
    }

    int toQuillon[2], fromQuillon[2];
    if (::pipe2(toQuillon, O_CLOEXEC) != 0 || ::pipe2(fromQuillon, O_CLOEXEC) != 0) return 1;
    pid_t quillon = spawn(bundle + "/Contents/Helpers/Quillon", {}, toQuillon[0], fromQuillon[1]);
    ::close(toQuillon[0]);
    ::close(fromQuillon[1]);
    LineReader replies(fromQuillon[0]);
    writeLine(toQuillon[1],
              R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})");
    replies.next();
    long rssAtStart = rssKilobytes(quillon);

    // QUILLON_BENCH_CALLS shortens a run while trying things out.
    const char* asked = std::getenv("QUILLON_BENCH_CALLS");
    const int calls = asked ? std::max(100, std::atoi(asked)) : 100000;
    const int paired = std::min(calls, 10000);  // calls measured against a bare exchange each
    std::vector<double> mcp, direct;
    mcp.reserve(paired);
    direct.reserve(paired);
    long rssAtTenThousand = -1;
    double cpuBefore = cpuMicroseconds(quillon);
    for (int i = 1; i <= calls; ++i) {
        auto begin = Clock::now();
        writeLine(toQuillon[1],
                  R"({"jsonrpc":"2.0","id":)" + std::to_string(i) +
                      R"(,"method":"tools/call","params":{"name":"recorder_recording_status","arguments":{}}})");
        if (replies.next().find("\"isError\":false") == std::string::npos) {
            std::fprintf(stderr, "call %d failed\n", i);
            return 1;
        }
        if (i <= paired) {
            mcp.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
            // Interleaved, so that both see the same machine conditions.
            recorder::AutomationRequest request{1, "bench-" + std::to_string(i), std::nullopt,
                                                recorder::AutomationCommand::status()};
            auto start = Clock::now();
            std::string frame = recorder::LineFrameEncoder::encode(request);
            bare.exchange(frame);
            direct.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        if (i == 10000) rssAtTenThousand = rssKilobytes(quillon);
    }
    long rssAfter = rssKilobytes(quillon);
    double cpuPerCall = (cpuMicroseconds(quillon) - cpuBefore) / calls;

    ::close(toQuillon[1]);
    int status = 0;
    ::waitpid(quillon, &status, 0);

    // Start-up: fork to the reply of the first line, Quillon and the floor in turn.
    std::vector<double> quillonStart, floorStart;
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})";
    for (int run = 0; run < 2 * 200; ++run) {
        const bool floor = run % 2 == 1;
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return 1;
        // Written before the fork: a host's line is already waiting when the program reads.
        writeLine(in[1], initialize);
        auto begin = Clock::now();
        pid_t child =
            spawn(floor ? std::string(ONE_LINE_PROGRAM) : bundle + "/Contents/Helpers/Quillon", {}, in[0], out[1]);
        ::close(in[0]);
        ::close(out[1]);
        LineReader reply(out[0]);
        if (reply.next().empty()) {
            std::fprintf(stderr, "no reply to initialize\n");
            return 1;
        }
        double took = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
        ::close(in[1]);
        ::waitpid(child, &status, 0);
        ::close(out[0]);
        (floor ? floorStart : quillonStart).push_back(took);
    }

    ::kill(app, SIGTERM);
    ::waitpid(app, &status, 0);
    fs::remove_all(home);

    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    int processors = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : -1;
    auto viaQuillon = percentiles(mcp);
    auto bareExchange = percentiles(direct);
    auto started = percentiles(quillonStart);
    auto floorStarted = percentiles(floorStart);
    std::printf("processors available: %d%s\n", processors,
                processors == 1 ? "" : " (pin with taskset -c 0 for the quoted figures)");
    std::printf("tools/call recorder_recording_status via Quillon: p50 %.1f us, p99 %.1f us (%zu calls)\n",
                viaQuillon.p50, viaQuillon.p99, mcp.size());
    std::printf("bare status exchange with the app:               p50 %.1f us, p99 %.1f us (%zu exchanges)\n",
                bareExchange.p50, bareExchange.p99, direct.size());
    std::printf("Quillon's own cost at p50: %.1f us (%.2f times the bare exchange in all)\n",
                viaQuillon.p50 - bareExchange.p50, viaQuillon.p50 / bareExchange.p50);
    std::printf("Quillon's processor time per call: %.1f us (user and system)\n", cpuPerCall);
    std::printf(
        "fork to initialize reply: Quillon p50 %.0f us, one-line C program p50 %.0f us, ratio %.2f (%zu runs each)\n",
        started.p50, floorStarted.p50, started.p50 / floorStarted.p50, quillonStart.size());
    std::printf(
        "Quillon resident memory: %ld kB after start-up, %ld kB after 10000 calls, %ld kB after %d calls: growth %ld "
        "kB\n",
        rssAtStart, rssAtTenThousand, rssAfter, calls, rssAfter - rssAtTenThousand);
    return 0;
}
