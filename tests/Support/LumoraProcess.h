#pragma once
// The Lumora program run by a test on a temporary home, its log collected, reached through the
// same endpoint that the helpers use. Header-only: it needs LumoraCore, which TestSupport does
// not link.

#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Client/RecorderAutomationSession.h"
#include "lumora/ChildProcess.h"
#include "tests/Support/LumoraHome.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

inline const std::filesystem::path lumoraProgram = std::filesystem::path(LUMORA_BUNDLE_DIR) / "Contents/MacOS/Lumora";

class LumoraProcess {
public:
    LumoraProcess(const LumoraHome& home, std::vector<std::string> arguments, std::vector<std::string> environment = {})
        : endpoint_(LUMORA_BUNDLE_IDENTIFIER, home.appDirectory()) {
        for (auto& entry : home.environmentEntries()) environment.push_back(std::move(entry));
        // Never a real desktop's notification service: a test that wants one brings its own bus.
        bool busGiven = false;
        for (const auto& entry : environment) busGiven = busGiven || entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0;
        if (!busGiven) environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/lumora-test-bus");
        if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
        process_.emplace(lumoraProgram.string(), arguments, environment);
        reader_ = std::thread([this] { drain(); });
    }
    ~LumoraProcess() {
        if (!process_->poll()) {
            process_->signal(SIGTERM);
            if (!process_->waitFor(std::chrono::seconds(20))) process_->signal(SIGKILL);
        }
        reader_.join();
    }

    bool waitForSocket(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        recorder::AutomationClient probe(endpoint_, 1.0);
        while (std::chrono::steady_clock::now() < deadline) {
            if (probe.isReachable()) return true;
            if (process_->poll()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    recorder::AutomationClient client() const { return recorder::AutomationClient(endpoint_, 10.0); }
    recorder::RecorderAutomationSession session() const { return recorder::RecorderAutomationSession(client()); }
    const recorder::AutomationEndpoint& endpoint() const { return endpoint_; }

    void signal(int number) { process_->signal(number); }
    std::optional<lumora::ChildProcess::Exit> waitExit(std::chrono::milliseconds timeout) {
        return process_->waitFor(timeout);
    }
    // Once the program has exited, its last words may still be in the pipes: wait (boundedly, a
    // child it left may hold them open) until the reader has seen their end.
    std::string log() {
        std::unique_lock lock(mutex_);
        if (process_->poll()) drainedChanged_.wait_for(lock, std::chrono::seconds(2), [this] { return drained_; });
        return log_;
    }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    void drain() {
        bool outOpen = true, errOpen = true;
        char buffer[4096];
        while (outOpen || errOpen) {
            pollfd fds[2] = {{outOpen ? process_->standardOutput() : -1, POLLIN, 0},
                             {errOpen ? process_->standardError() : -1, POLLIN, 0}};
            if (::poll(fds, 2, 200) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].revents) continue;
                ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard lock(mutex_);
                    log_.append(buffer, std::size_t(n));
                } else {
                    (i == 0 ? outOpen : errOpen) = false;
                }
            }
        }
        std::lock_guard lock(mutex_);
        drained_ = true;
        drainedChanged_.notify_all();
    }

    recorder::AutomationEndpoint endpoint_;
    std::optional<lumora::ChildProcess> process_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable drainedChanged_;
    bool drained_ = false;
    std::string log_;
};

}  // namespace testsupport
