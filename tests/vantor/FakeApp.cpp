#include "tests/vantor/FakeApp.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "RecorderAutomation/Client/AutomationEndpoint.h"

namespace testing_support {

FakeApp::FakeApp(std::string bundleIdentifier) : bundleIdentifier_(std::move(bundleIdentifier)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantor-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    home_ = pattern;
    bundle_ = home_ / "Lumora.app";
    std::filesystem::create_directories(bundle_ / "Contents" / "MacOS");
    std::ofstream(bundle_ / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>\n"
           "<key>CFBundleIdentifier</key><string>"
        << bundleIdentifier_
        << "</string>\n"
           "<key>CFBundleExecutable</key><string>Lumora</string>\n"
           "<key>RecorderAppGroup</key><string>K9WQ2ZP4LM.recorder</string>\n"
           "</dict></plist>\n";
}

FakeApp::~FakeApp() {
    stopListening();
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
}

std::filesystem::path FakeApp::socketPath() const {
    // Derived the way every party derives it, but from this fake HOME.
    const char* saved = std::getenv("HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("HOME", home_.c_str(), 1);
    const auto path = recorder::AutomationEndpoint::standard(bundleIdentifier_, "K9WQ2ZP4LM.recorder").path();
    if (saved)
        ::setenv("HOME", previous.c_str(), 1);
    else
        ::unsetenv("HOME");
    return path;
}

void FakeApp::listen(Responder responder) {
    responder_ = std::move(responder);
    const auto path = socketPath();
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0)
        throw std::runtime_error("cannot listen on " + path.string());
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
}

void FakeApp::stopListening() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
        ::unlink(socketPath().c_str());
    }
}

std::vector<nlohmann::json> FakeApp::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string FakeApp::success(const nlohmann::json& request, const nlohmann::json& result) {
    return nlohmann::json{{"protocolVersion", 1},
                          {"requestId", request.value("requestId", "")},
                          {"appInstanceId", "FAKE-INSTANCE"},
                          {"ok", true},
                          {"result", result}}
        .dump();
}

std::string FakeApp::failure(const nlohmann::json& request, const nlohmann::json& error) {
    return nlohmann::json{{"protocolVersion", 1},
                          {"requestId", request.value("requestId", "")},
                          {"appInstanceId", "FAKE-INSTANCE"},
                          {"ok", false},
                          {"error", error}}
        .dump();
}

void FakeApp::serve() {
    while (!stopping_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        // One request per connection, as the clients send them. A bare probe closes at once.
        std::string line;
        char buffer[4096];
        for (int rounds = 0; rounds < 100 && line.find('\n') == std::string::npos; ++rounds) {
            pollfd in{connection, POLLIN, 0};
            if (::poll(&in, 1, 50) <= 0) continue;
            const auto n = ::read(connection, buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, std::size_t(n));
        }
        const auto end = line.find('\n');
        if (end != std::string::npos) {
            const auto request = nlohmann::json::parse(line.substr(0, end), nullptr, false);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const std::string reply = responder_(request) + "\n";
            (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        ::close(connection);
    }
}

}  // namespace testing_support
