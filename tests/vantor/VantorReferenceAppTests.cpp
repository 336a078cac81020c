// vantor run as a process against the reference app on a temporary HOME: vantor launches the
// app itself, and every command's document and exit status come from the real exchange.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "tests/Support/LaunchedApps.h"
#include "tests/Support/Subprocess.h"
#include "tests/Support/TemporaryHome.h"

using nlohmann::json;
using testsupport::ProcessOutcome;

namespace {

namespace fs = std::filesystem;

const std::string builtBundle = LUMORA_BUNDLE_DIR;

json document(const ProcessOutcome& outcome) {
    EXPECT_FALSE(outcome.out.empty()) << outcome.err;
    return json::parse(outcome.out, nullptr, false);
}

class VantorWithReferenceApp : public ::testing::Test {
protected:
    std::optional<testsupport::TemporaryHome> temporary;
    std::optional<testsupport::LaunchedApps> apps;
    fs::path home;
    std::string socketPath;
    // Each test runs its own copy of the bundle: an app of the same bundle running for another
    // test (under another HOME) would count as "this copy is running" and never be launched.
    std::string bundlePath;
    std::string vantorPath;
    std::string appProgram;

    void SetUp() override {
        if (!fs::exists(builtBundle + "/Contents/MacOS/Lumora")) GTEST_SKIP() << "the reference app is not built";
        home = temporary.emplace(testsupport::TemporaryHome::Scope::childrenOnly, "vantor-app").path();
        bundlePath = (home / "Lumora.app").string();
        vantorPath = bundlePath + "/Contents/Helpers/vantor";
        appProgram = bundlePath + "/Contents/MacOS/Lumora";
        fs::create_directories(bundlePath + "/Contents/MacOS");
        fs::create_directories(bundlePath + "/Contents/Helpers");
        fs::copy_file(builtBundle + "/Contents/Info.plist", bundlePath + "/Contents/Info.plist");
        fs::copy_file(builtBundle + "/Contents/MacOS/Lumora", appProgram);
        fs::copy_file(builtBundle + "/Contents/Helpers/vantor", vantorPath);
        socketPath = temporary->asHome(
            [] { return recorder::AutomationEndpoint::standard(LUMORA_BUNDLE_IDENTIFIER, LUMORA_APP_GROUP).path(); });
        apps.emplace(appProgram, home, std::chrono::seconds(10));
        writeSettings();
    }

    void TearDown() override {
        apps.reset();  // stops the app, by process id
        temporary.reset();
    }

    // settings.json next to the socket, read by the app when it starts.
    void writeSettings(const json& extra = json::object()) {
        json settings = {
            {"outputFolder", (home / "Videos").string()}, {"frameRate", 10}, {"captureBackend", "synthetic"}};
        if (extra.is_object()) settings.update(extra);
        const auto directory = fs::path(socketPath).parent_path();
        fs::create_directories(directory);
        fs::permissions(directory, fs::perms::owner_all);
        std::ofstream(directory / "settings.json") << settings.dump();
    }

    ProcessOutcome vantor(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv = {vantorPath};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return testsupport::runProcess(
            argv, testsupport::inEnvironment({{"HOME", home.string()}, {"RECORDER_APP", std::nullopt}}));
    }

    // The app process serving this test's HOME, if one runs.
    std::optional<pid_t> appProcess() const {
        const auto running = apps->running();
        return running.empty() ? std::nullopt : std::optional<pid_t>(running.front());
    }

    std::vector<std::string> commandLine(pid_t pid) const {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::vector<std::string> words;
        for (std::string word; std::getline(cmdline, word, '\0');) words.push_back(word);
        return words;
    }

    // One raw exchange on the app's socket, without vantor.
    json exchange(const json& request) const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::string line = request.dump() + "\n";
        EXPECT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
        std::string reply;
        char buffer[4096];
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        while (reply.find('\n') == std::string::npos) {
            const auto n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            reply.append(buffer, std::size_t(n));
        }
        ::close(fd);
        return json::parse(reply.substr(0, reply.find('\n')), nullptr, false);
    }

    // Polls status until the session reaches `state` (bounded).
    bool waitForState(const std::string& sessionID, const std::string& state) const {
        for (int i = 0; i < 100; ++i) {
            const auto doc = document(vantor({"status", "--session", sessionID}));
            if (doc.contains("session") && doc["session"]["state"] == state) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
};

TEST_F(VantorWithReferenceApp, LaunchesTheAppAndRecordsAVideo) {
    ASSERT_FALSE(appProcess().has_value());
    auto outcome = vantor({"capabilities"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out << outcome.err;
    auto doc = document(outcome);
    EXPECT_EQ(doc["appName"], "Lumora");
    EXPECT_EQ(doc["automationEnabled"], true);
    EXPECT_EQ(doc["captureReadiness"], "ready");
    // vantor launched the app in the background, with the automation launch argument.
    const auto pid = appProcess();
    ASSERT_TRUE(pid.has_value());
    const auto words = commandLine(*pid);
    EXPECT_NE(std::find(words.begin(), words.end(), "--automation-launch"), words.end());

    outcome = vantor({"displays"});
    EXPECT_EQ(outcome.exitStatus, 0);
    doc = document(outcome);
    ASSERT_EQ(doc.size(), 1u);
    ASSERT_FALSE(doc["displays"].empty());
    const std::string display = doc["displays"][0]["id"];

    outcome = vantor({"status"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_FALSE(document(outcome).contains("session"));

    outcome = vantor({"start", "--display", display, "--duration", "2", "--request-id", "e2e-start-1"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out;
    const auto receipt = document(outcome);
    EXPECT_EQ(receipt["durationLimitSeconds"], 2);
    EXPECT_EQ(receipt["source"], (json{{"kind", "display"}, {"id", display}}));
    const std::string session = receipt["sessionId"];

    outcome = vantor({"status", "--session", session});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(document(outcome)["session"]["sessionId"], session);

    outcome = vantor({"result", "--session", session, "--wait", "--timeout", "15"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out;
    const auto result = document(outcome);
    EXPECT_EQ(result["state"], "saved");
    const std::string path = result["recording"]["path"];
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(std::int64_t(fs::file_size(path)), result["recording"]["bytes"].get<std::int64_t>());
    EXPECT_NEAR(result["recording"]["durationSeconds"].get<double>(), 2.0, 0.5);
    EXPECT_EQ(result["recording"]["width"], receipt["expectedWidth"]);

    // A plain result of the same session is the same document, status 0.
    outcome = vantor({"result", "--session", session});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(document(outcome), result);

    // start --wait prints only the result.
    outcome = vantor({"start", "--display", display, "--duration", "1", "--wait"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out;
    doc = document(outcome);
    EXPECT_EQ(doc["state"], "saved");
    EXPECT_FALSE(doc.contains("durationLimitSeconds"));
    EXPECT_TRUE(fs::exists(doc["recording"]["path"].get<std::string>()));
}

TEST_F(VantorWithReferenceApp, StopFinishesAnAutomatedRecordingAndAStartWhileBusyIsRefused) {
    auto outcome = vantor({"start", "--display", "1", "--duration", "30"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out;
    const std::string session = document(outcome)["sessionId"];
    ASSERT_TRUE(waitForState(session, "recording"));

    outcome = vantor({"start", "--display", "1"});
    EXPECT_EQ(outcome.exitStatus, 4);
    EXPECT_EQ(document(outcome)["error"]["code"], "busy");

    outcome = vantor({"stop", "--session", session});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.out;
    EXPECT_EQ(document(outcome)["sessionId"], session);

    outcome = vantor({"result", "--session", session, "--wait", "--timeout", "15"});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.out;
    EXPECT_EQ(document(outcome)["recording"]["endReason"], "stopped");

    outcome = vantor({"stop", "--session", "no-such-session"});
    EXPECT_EQ(outcome.exitStatus, 4);
    EXPECT_EQ(document(outcome)["error"]["code"], "session_not_found");
}

TEST_F(VantorWithReferenceApp, RejectedStopOfAManualRecordingIsPrintedUnchanged) {
    ASSERT_EQ(vantor({"capabilities"}).exitStatus, 0);
    const auto pid = appProcess();
    ASSERT_TRUE(pid.has_value());
    ::kill(*pid, SIGUSR1);  // the app's own record button
    std::string session;
    for (int i = 0; i < 50 && session.empty(); ++i) {
        const auto doc = document(vantor({"status"}));
        if (doc.contains("session") && doc["session"]["origin"] == "manual" && doc["session"].contains("sessionId"))
            session = doc["session"]["sessionId"];
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_FALSE(session.empty());

    const auto outcome = vantor({"stop", "--session", session});
    EXPECT_EQ(outcome.exitStatus, 4);
    EXPECT_EQ(outcome.err, "");
    const auto doc = document(outcome);
    EXPECT_EQ(doc["error"]["code"], "session_not_owned");
    // The same refusal straight from the socket: vantor adds and drops nothing.
    const auto reply = exchange({{"protocolVersion", 1},
                                 {"requestId", "raw-stop"},
                                 {"command", "stop"},
                                 {"parameters", {{"sessionId", session}}}});
    EXPECT_EQ(doc, (json{{"error", reply["error"]}}));
    ::kill(*pid, SIGUSR1);
}

TEST_F(VantorWithReferenceApp, BadDurationIsAUsageErrorAfterConnecting) {
    ASSERT_FALSE(appProcess().has_value());
    const auto outcome = vantor({"start", "--display", "1", "--duration", "abc"});
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(outcome.err.starts_with("usage: vantor"));
    // The connection came first: the app was launched, and nothing was started.
    ASSERT_TRUE(appProcess().has_value());
    EXPECT_FALSE(document(vantor({"status"})).contains("session"));
    // So does an unknown command.
    EXPECT_EQ(vantor({"nonsense"}).exitStatus, 2);
}

TEST_F(VantorWithReferenceApp, FailedRecordingExitsFiveOnlyWhenWaiting) {
    writeSettings({{"simulate", {{"captureFailure", "start"}}}});
    auto outcome = vantor({"start", "--display", "1", "--duration", "5"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.out;
    const std::string session = document(outcome)["sessionId"];

    outcome = vantor({"result", "--session", session, "--wait", "--timeout", "15"});
    EXPECT_EQ(outcome.exitStatus, 5) << outcome.out;
    auto doc = document(outcome);
    EXPECT_EQ(doc["state"], "failed");
    EXPECT_EQ(doc["failure"]["code"], "capture_failed");

    outcome = vantor({"result", "--session", session});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(document(outcome), doc);
}

TEST_F(VantorWithReferenceApp, RefusalsBecomeTheirExitStatuses) {
    writeSettings({{"simulate", {{"screenRecordingPermission", false}}}});
    auto outcome = vantor({"start", "--display", "1"});
    EXPECT_EQ(outcome.exitStatus, 3);
    EXPECT_EQ(document(outcome)["error"]["code"], "permission_required");

    outcome = vantor({"start", "--display", "no-such-display"});
    EXPECT_EQ(outcome.exitStatus, 3);  // the permission is checked before the display

    outcome = vantor({"start", "--display", "1", "--duration", "0"});
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_EQ(document(outcome)["error"]["code"], "invalid_request");
}

TEST_F(VantorWithReferenceApp, SetupLaunchesNothing) {
    const auto outcome = vantor({"setup", "--format", "json"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(json::parse(outcome.out)["mcpServers"]["lumora"]["command"],
              fs::canonical(bundlePath).string() + "/Contents/Helpers/Quillon");
    EXPECT_EQ(vantor({"setup"}).exitStatus, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(appProcess().has_value());
    EXPECT_FALSE(fs::exists(socketPath));
}

TEST_F(VantorWithReferenceApp, AnAppThatCannotBeReachedGivesTheConnectionDocument) {
    ASSERT_EQ(vantor({"capabilities"}).exitStatus, 0);
    ASSERT_TRUE(appProcess().has_value());
    // The app still runs, but its socket is gone.
    fs::remove(socketPath);
    for (const auto& command : {"status", "nonsense"}) {
        const auto outcome = vantor({command});
        EXPECT_EQ(outcome.exitStatus, 6) << command;
        EXPECT_EQ(outcome.err, "");
        const auto doc = document(outcome);
        EXPECT_EQ(doc["error"]["code"], "app_unavailable");
        EXPECT_EQ(doc["error"]["message"], "Lumora is running, but this process cannot reach its automation socket.");
    }
}

}  // namespace
