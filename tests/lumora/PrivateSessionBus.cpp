#include "tests/lumora/PrivateSessionBus.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

PrivateSessionBus::PrivateSessionBus() {
    const auto config = folder_ / "bus.conf";
    // No <servicedir>: nothing on the machine is started on demand.
    std::ofstream(config) << "<busconfig>\n  <type>session</type>\n  <listen>unix:path=" << (folder_ / "bus").string()
                          << "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n"
                             "</busconfig>\n";
    // The daemon prints its address once it listens. Its socket file appears earlier, at bind
    // time, when a connection would still be refused.
    daemon_.emplace("dbus-daemon",
                    std::vector<std::string>{"--config-file=" + config.string(), "--nofork", "--print-address=1"});
    std::string printed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (printed.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd output{daemon_->standardOutput(), POLLIN, 0};
        if (::poll(&output, 1, 100) <= 0) continue;
        char buffer[512];
        const ssize_t n = ::read(daemon_->standardOutput(), buffer, sizeof buffer);
        if (n <= 0) break;  // the daemon ended
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    if (printed.find('\n') == std::string::npos) throw std::runtime_error("the private dbus-daemon did not start");
    address_ = printed.substr(0, printed.find('\n'));
}

PrivateSessionBus::~PrivateSessionBus() {
    daemon_->signal(SIGTERM);
    if (!daemon_->waitFor(std::chrono::seconds(5))) daemon_->signal(SIGKILL);
    daemon_.reset();  // reaps it
}

}  // namespace testsupport
