// Faults around the programs, each run as a real process on a temporary HOME: the app killed
// during a recording, Quillon's host closing its pipes early, and socket directories that must
// not be served from.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "lumora/ChildProcess.h"
#include "tests/Support/LaunchedApps.h"
#include "tests/Support/LineReader.h"
#include "tests/Support/LumoraProcess.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::LumoraHome;
using testsupport::LumoraProcess;
using Clock = std::chrono::steady_clock;

const fs::path bundle = LUMORA_BUNDLE_DIR;
const std::string quillonProgram = (bundle / "Contents/Helpers/Quillon").string();
const std::string vantorProgram = (bundle / "Contents/Helpers/vantor").string();

std::vector<std::string> environmentFor(const LumoraHome& home) {
    std::vector<std::string> environment = home.environmentEntries();
    if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
    return environment;
}

// Everything a child writes to standard output until it closes it, within `limit`.
std::string readAll(int fd, std::chrono::milliseconds limit) {
    std::string text;
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// Lumora processes started by the helpers are detached; this ends the ones serving `home` (and
// waits for them, so that the next case never finds this one's app still running).
struct LumoraAppsOn : testsupport::LaunchedApps {
    explicit LumoraAppsOn(const LumoraHome& home) : LaunchedApps(bundle / "Contents/MacOS/Lumora", home.path()) {}
};

json run(const std::string& program, const std::vector<std::string>& arguments, const LumoraHome& home,
         ChildProcess::Exit& exit, std::chrono::milliseconds limit = 30s) {
    ChildProcess child(program, arguments, environmentFor(home));
    child.closeInput();
    const std::string output = readAll(child.standardOutput(), limit);
    const auto ended = child.waitFor(limit);
    EXPECT_TRUE(ended.has_value()) << program << " did not end";
    if (ended) exit = *ended;
    return json::parse(output, nullptr, false);
}

// SIGKILL leaves the app no chance to say anything: the helper waiting on a result reports
// "app_unavailable" in its own words instead of hanging, and the next call starts a new app.
TEST(Faults, AppKilledDuringARecordingIsReportedByVantorAndTheNextCallRelaunchesIt) {
    LumoraHome home;
    home.writeSettings(LumoraHome::smallSettings());
    LumoraAppsOn apps(home);
    ChildProcess::Exit exit;
    const json receipt = run(vantorProgram, {"start", "--display", "1", "--duration", "60"}, home, exit);
    ASSERT_TRUE(exit.succeeded()) << receipt.dump();
    const std::string session = receipt.value("sessionId", "");
    ASSERT_FALSE(session.empty()) << receipt.dump();
    const auto first = apps.running();
    ASSERT_EQ(first.size(), 1u);

    ChildProcess waiting(vantorProgram, {"result", "--session", session, "--wait", "--timeout", "60"},
                         environmentFor(home));
    waiting.closeInput();
    std::this_thread::sleep_for(1500ms);
    const auto killed = Clock::now();
    ASSERT_EQ(::kill(first[0], SIGKILL), 0);
    const json document = json::parse(readAll(waiting.standardOutput(), 20s), nullptr, false);
    const json failure = document.is_object() ? document.value("error", json::object()) : json::object();
    const auto ended = waiting.waitFor(20s);
    const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
    std::cout << "[figure] vantor_reports_killed_app_after_s = " << seconds << std::endl;
    ASSERT_TRUE(ended.has_value()) << "vantor hung after the app was killed";
    EXPECT_EQ(ended->status, 6) << ended->description();
    EXPECT_EQ(failure.value("code", ""), "app_unavailable") << document.dump();
    EXPECT_TRUE(failure.value("message", "").starts_with("Connection to Lumora failed: ")) << document.dump();

    const json status = run(vantorProgram, {"status"}, home, exit);
    EXPECT_TRUE(exit.succeeded()) << status.dump();
    EXPECT_TRUE(status.contains("captureReadiness")) << status.dump();
    const auto second = apps.running();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
}

class QuillonHost {
public:
    explicit QuillonHost(const LumoraHome& home) : child_(quillonProgram, {}, environmentFor(home)) {}
    void send(const json& message) { child_.writeInput(message.dump() + "\n"); }
    std::optional<json> reply(std::chrono::milliseconds limit = 30s) {
        const auto line = output_.next(limit);
        if (!line) return std::nullopt;
        return json::parse(*line, nullptr, false);
    }
    json call(int id, const std::string& tool, const json& arguments) {
        send({{"jsonrpc", "2.0"},
              {"id", id},
              {"method", "tools/call"},
              {"params", {{"name", tool}, {"arguments", arguments}}}});
        auto answer = reply();
        EXPECT_TRUE(answer.has_value()) << "no reply to " << tool;
        return answer ? *answer : json();
    }
    void initialize() {
        send({{"jsonrpc", "2.0"},
              {"id", 0},
              {"method", "initialize"},
              {"params",
               {{"protocolVersion", "2025-06-18"},
                {"capabilities", json::object()},
                {"clientInfo", {{"name", "faults"}, {"version", "1"}}}}}});
        ASSERT_TRUE(reply().has_value());
        send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    }
    ChildProcess& process() { return child_; }

private:
    ChildProcess child_;
    testsupport::LineReader output_{child_.standardOutput()};
};

// The tool result's text is the pretty-printed JSON document of the outcome.
json toolDocument(const json& reply) {
    const auto& result = reply.at("result");
    return json::parse(result.at("content").at(0).at("text").get<std::string>(), nullptr, false);
}

TEST(Faults, AppKilledDuringARecordingIsReportedByQuillonAndALaterCallRelaunchesIt) {
    LumoraHome home;
    home.writeSettings(LumoraHome::smallSettings());
    LumoraAppsOn apps(home);
    QuillonHost host(home);
    host.initialize();
    const json started = host.call(1, "recorder_start_recording", {{"displayId", "1"}, {"durationSeconds", 60}});
    ASSERT_FALSE(started.at("result").value("isError", true)) << started.dump();
    const std::string session = toolDocument(started).value("sessionId", "");
    ASSERT_FALSE(session.empty()) << started.dump();
    const auto first = apps.running();
    ASSERT_EQ(first.size(), 1u);

    host.send(
        {{"jsonrpc", "2.0"},
         {"id", 2},
         {"method", "tools/call"},
         {"params",
          {{"name", "recorder_recording_result"}, {"arguments", {{"sessionId", session}, {"waitSeconds", 60}}}}}});
    std::this_thread::sleep_for(1500ms);
    const auto killed = Clock::now();
    ASSERT_EQ(::kill(first[0], SIGKILL), 0);
    const auto answer = host.reply(40s);
    const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
    std::cout << "[figure] quillon_reports_killed_app_after_s = " << seconds << std::endl;
    ASSERT_TRUE(answer.has_value()) << "Quillon hung after the app was killed";
    EXPECT_TRUE(answer->at("result").value("isError", false)) << answer->dump();
    const json error = toolDocument(*answer).value("error", json::object());
    // The wait finds the app gone. The bridge drops its session and tries once more with a new
    // app, which knows nothing of the old session; a failed relaunch would be "app_unavailable".
    const std::string code = error.value("code", "");
    std::cout << "[figure] quillon_answer_after_kill = " << error.dump() << std::endl;
    EXPECT_TRUE(code == "app_unavailable" || code == "session_not_found" || code == "instance_changed")
        << answer->dump();
    if (code == "app_unavailable") {
        EXPECT_TRUE(error.value("message", "").starts_with("Lumora could not be reached: ")) << answer->dump();
    }

    const json status = host.call(3, "recorder_recording_status", json::object());
    EXPECT_FALSE(status.at("result").value("isError", true)) << status.dump();
    const auto second = apps.running();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0], first[0]);
    host.process().closeInput();
    const auto ended = host.process().waitFor(20s);
    ASSERT_TRUE(ended.has_value());
    EXPECT_TRUE(ended->succeeded()) << ended->description();
}

// A host that stops reading: the replies are dropped, Quillon is not ended by SIGPIPE, and it
// still exits 0 once its input ends.
TEST(Faults, QuillonWhoseStandardOutputIsClosedKeepsRunningAndExitsCleanly) {
    LumoraHome home;
    QuillonHost host(home);
    host.initialize();
    // Replacing our read end closes the pipe while the descriptor number stays valid.
    const int nothing = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(nothing, 0);
    ASSERT_GE(::dup2(nothing, host.process().standardOutput()), 0);
    ::close(nothing);
    for (int id = 1; id <= 50; ++id) host.send({{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/list"}});
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(host.process().poll().has_value()) << "Quillon ended while its input was still open";
    host.process().closeInput();
    const auto ended = host.process().waitFor(20s);
    ASSERT_TRUE(ended.has_value()) << "Quillon did not end";
    EXPECT_TRUE(ended->succeeded()) << ended->description();
}

// Input that ends in the middle of a line: the complete lines are answered, the partial one is
// dropped without a reply, and Quillon exits 0.
TEST(Faults, QuillonWhoseInputEndsInTheMiddleOfALineAnswersTheCompleteLinesAndExits) {
    LumoraHome home;
    QuillonHost host(home);
    host.initialize();
    host.send({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "ping"}});
    host.process().writeInput(R"({"jsonrpc":"2.0","id":2,"method":"pi)");
    host.process().closeInput();
    const auto ping = host.reply(20s);
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(ping->value("id", -1), 1);
    EXPECT_FALSE(host.reply(10s).has_value()) << "the partial line was answered";
    const auto ended = host.process().waitFor(20s);
    ASSERT_TRUE(ended.has_value()) << "Quillon did not end";
    EXPECT_TRUE(ended->succeeded()) << ended->description();
}

// The socket's directory is where other programs could swap the socket: the app serves only
// from a real directory of its own user that nobody else may write to, and says why otherwise.
enum class BadDirectory { symbolicLink, otherOwner, otherOwnerGroupWritable };

class InsecureSocketDirectory : public testing::TestWithParam<BadDirectory> {};

TEST_P(InsecureSocketDirectory, TheAppRefusesToServeThereAndSaysWhy) {
    if (GetParam() != BadDirectory::symbolicLink && ::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the directory to another user";
    LumoraHome home;
    const fs::path directory = home.appDirectory();
    const fs::path real = home.path() / "elsewhere";
    fs::create_directories(directory.parent_path());
    fs::create_directories(real);
    fs::permissions(real, fs::perms::owner_all);
    switch (GetParam()) {
        case BadDirectory::symbolicLink:
            fs::create_directory_symlink(real, directory);
            break;
        case BadDirectory::otherOwner:
        case BadDirectory::otherOwnerGroupWritable:
            fs::create_directory(directory);
            fs::permissions(directory, GetParam() == BadDirectory::otherOwner
                                           ? fs::perms::owner_all
                                           : fs::perms::owner_all | fs::perms::group_all);
            ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
            break;
    }
    LumoraProcess lumora(home, {"--automation-launch"});
    const auto ended = lumora.waitExit(20s);
    ASSERT_TRUE(ended.has_value()) << "the app served from an insecure directory:\n" << lumora.log();
    EXPECT_EQ(ended->status, 1) << ended->description();
    EXPECT_TRUE(lumora.waitForLog("insecureDirectory", 5s)) << lumora.log();
    EXPECT_NE(lumora.log().find(directory.string()), std::string::npos) << lumora.log();
    EXPECT_FALSE(fs::exists(real / "automation.sock"));
    EXPECT_FALSE(fs::is_symlink(directory) ? false : fs::exists(directory / "automation.sock"));
}

INSTANTIATE_TEST_SUITE_P(Faults, InsecureSocketDirectory,
                         testing::Values(BadDirectory::symbolicLink, BadDirectory::otherOwner,
                                         BadDirectory::otherOwnerGroupWritable),
                         [](const auto& info) {
                             switch (info.param) {
                                 case BadDirectory::symbolicLink:
                                     return std::string("SymbolicLink");
                                 case BadDirectory::otherOwner:
                                     return std::string("OtherOwner");
                                 default:
                                     return std::string("OtherOwnerGroupWritable");
                             }
                         });

// A directory of the app's own user that is group-writable is not refused but repaired: its
// permissions are tightened to the owner's alone before the socket is bound.
TEST(Faults, AGroupWritableDirectoryOfTheOwnUserIsTightenedBeforeServing) {
    LumoraHome home;
    const fs::path directory = home.appDirectory();
    fs::create_directories(directory);
    fs::permissions(directory, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read);
    home.writeSettings(LumoraHome::smallSettings());
    fs::permissions(directory, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read);
    LumoraProcess lumora(home, {"--automation-launch"});
    ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
    EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);
}

}  // namespace
}  // namespace lumora
