#pragma once
// The Lumora program run by a test on a temporary HOME, its log collected, reached through the
// same endpoint that the helpers use.

#include "RecorderAutomation/Client/AutomationClient.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Client/RecorderAutomationSession.h"
#include "lumora/ChildProcess.h"
#include "lumora/Settings.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace lumora::testing_support {

inline const std::filesystem::path lumoraProgram = std::filesystem::path(LUMORA_BUNDLE_DIR) / "Contents/MacOS/Lumora";

class TemporaryHome {
public:
    TemporaryHome() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumora-e2e-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryHome() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path appDirectory() const { return path_ / ".local/share" / LUMORA_BUNDLE_IDENTIFIER; }
    std::filesystem::path recordings() const { return path_ / "rec"; }

    // Settings with a small display, so that tests not about size stay fast.
    static Settings smallSettings() {
        Settings s;
        s.captureBackend = CaptureBackendKind::synthetic;  // whatever desktop the machine runs
        s.outputFolder = "~/rec";
        s.virtualDisplays = {{"1", "Small Display", 192, 108, 1.0}, {"2", "Second Display", 160, 120, 2.0}};
        return s;
    }
    void writeSettings(const std::string& text) const {
        std::filesystem::create_directories(appDirectory());
        std::filesystem::permissions(appDirectory(), std::filesystem::perms::owner_all);
        std::ofstream(appDirectory() / "settings.json") << text;
    }
    void writeSettings(const Settings& s) const { writeSettings(s.toJSON().dump(2)); }

private:
    std::filesystem::path path_;
};

class LumoraProcess {
public:
    LumoraProcess(const TemporaryHome& home, std::vector<std::string> arguments,
                  std::vector<std::string> environment = {})
        : endpoint_(LUMORA_BUNDLE_IDENTIFIER, home.appDirectory()) {
        environment.push_back("HOME=" + home.path().string());
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
    std::optional<ChildProcess::Exit> waitExit(std::chrono::milliseconds timeout) { return process_->waitFor(timeout); }
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
    std::optional<ChildProcess> process_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable drainedChanged_;
    bool drained_ = false;
    std::string log_;
};

}  // namespace lumora::testing_support
