// A stand-in application for launch tests, copied into temporary bundles as
// Contents/MacOS/<name>. What it does comes from its bundle's Info.plist key
// "TestBehaviour": "listen" (opens the automation socket and accepts connections), "exit"
// (ends at once), "sleep" (runs without opening anything). It never outlives 15 seconds.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "RecorderAutomation/Platform/Bundle.h"
#include "RecorderAutomation/Platform/ProcessInfo.h"
#include "RecorderAutomation/Platform/RunningApplications.h"

namespace {

constexpr auto lifetime = std::chrono::seconds(15);

int listenAndAccept(const recorder::AutomationEndpoint& endpoint) {
    endpoint.prepareDirectory();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, endpoint.path().c_str(), sizeof address.sun_path - 1);
    ::unlink(address.sun_path);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) return 3;
    const auto end = std::chrono::steady_clock::now() + lifetime;
    while (std::chrono::steady_clock::now() < end) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        const int connection = ::accept(fd, nullptr, nullptr);
        if (connection >= 0) ::close(connection);
    }
    ::unlink(address.sun_path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto executable = recorder::platform::ProcessInfo::executablePath();
    const auto bundlePath = executable ? recorder::platform::applicationBundleOfExecutable(*executable) : std::nullopt;
    const auto bundle = bundlePath ? recorder::platform::Bundle::open(*bundlePath) : std::nullopt;
    if (!bundle) return 2;
    // Leaves a record of how it was started, for the launch tests.
    if (const auto record = bundle->stringValue("TestRecordFile")) {
        std::ofstream out(*record);
        for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
    }
    const auto behaviour = bundle->stringValue("TestBehaviour").value_or("sleep");
    if (behaviour == "exit") return 0;
    if (behaviour == "listen") {
        return listenAndAccept(recorder::AutomationEndpoint::standard(bundle->bundleIdentifier().value_or("")));
    }
    std::this_thread::sleep_for(lifetime);
    return 0;
}
