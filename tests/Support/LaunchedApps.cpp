#include "tests/Support/LaunchedApps.h"

#include <signal.h>

#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

namespace fs = std::filesystem;

LaunchedApps::LaunchedApps(const fs::path& program, fs::path home, std::chrono::milliseconds patience)
    : program_(fs::weakly_canonical(program)), home_(std::move(home)), patience_(patience) {}

LaunchedApps::~LaunchedApps() { stop(); }

std::vector<pid_t> LaunchedApps::running() const {
    std::vector<pid_t> mine;
    const std::string wanted = "HOME=" + home_.string();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code unreadable;
        if (fs::read_symlink(entry.path() / "exe", unreadable) != program_ || unreadable) continue;
        // A worker forked from the app renames itself; it is not the app.
        std::string command;
        std::ifstream commandFile(entry.path() / "comm");
        std::getline(commandFile, command);
        if (command != program_.filename().string().substr(0, 15)) continue;  // the kernel keeps 15
        std::ifstream environ(entry.path() / "environ", std::ios::binary);
        for (std::string variable; std::getline(environ, variable, '\0');)
            if (variable == wanted) mine.push_back(pid_t(std::stoi(name)));
    }
    return mine;
}

void LaunchedApps::stop() const {
    for (pid_t pid : running()) ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + patience_;
    while (!running().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (pid_t pid : running()) ::kill(pid, SIGKILL);
}

}  // namespace testsupport
