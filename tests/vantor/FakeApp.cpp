#include "tests/vantor/FakeApp.h"

#include <fstream>

#include "RecorderAutomation/Client/AutomationEndpoint.h"

namespace testsupport {

FakeApp::FakeApp(std::string bundleIdentifier) : bundleIdentifier_(std::move(bundleIdentifier)) {
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

FakeApp::~FakeApp() { stopListening(); }

std::filesystem::path FakeApp::socketPath() const {
    // Derived the way every party derives it, but from this fake HOME.
    return home_.asHome(
        [this] { return recorder::AutomationEndpoint::standard(bundleIdentifier_, "K9WQ2ZP4LM.recorder").path(); });
}

void FakeApp::listen(Responder responder) {
    const auto path = socketPath();
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::permissions(path.parent_path(), std::filesystem::perms::owner_all);
    socket_.emplace(path, AppSocket::Script([this, responder = std::move(responder)](const std::string& line) {
                        const auto request = nlohmann::json::parse(line, nullptr, false);
                        requests_.add(request);
                        return std::optional<std::string>(responder(request) + "\n");
                    }));
}

void FakeApp::stopListening() { socket_.reset(); }

namespace {
std::string envelope(const nlohmann::json& request, bool ok, const char* key, const nlohmann::json& value) {
    return nlohmann::json{{"protocolVersion", 1},
                          {"requestId", request.value("requestId", "")},
                          {"appInstanceId", "FAKE-INSTANCE"},
                          {"ok", ok},
                          {key, value}}
        .dump();
}
}  // namespace

std::string FakeApp::success(const nlohmann::json& request, const nlohmann::json& result) {
    return envelope(request, true, "result", result);
}

std::string FakeApp::failure(const nlohmann::json& request, const nlohmann::json& error) {
    return envelope(request, false, "error", error);
}

}  // namespace testsupport
