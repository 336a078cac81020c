// vantor run as a process against a fake app on a temporary HOME: the command flow, the option
// rules, the documents and the exit statuses, including replies the reference app never gives.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "RecorderAutomation/Platform/InfoPlist.h"
#include "tests/vantor/ExpectedUsage.h"
#include "tests/vantor/FakeApp.h"
#include "tests/Support/Subprocess.h"

using nlohmann::json;
using testsupport::FakeApp;
using testsupport::ProcessOutcome;

namespace {

const std::string vantorPath = std::string(LUMORA_BUNDLE_DIR) + "/Contents/Helpers/vantor";
// The usage text and the newline written after it.
const std::string usage = std::string(testsupport::expectedUsage) + "\n";
const std::string reachHint = "Open Lumora, enable local automation in its settings, and try again.";

const json capabilities = {{"appName", "Lumora"},
                           {"appVersion", "1.3"},
                           {"bundleIdentifier", "app.lumora.Lumora"},
                           {"automationEnabled", true},
                           {"captureReadiness", "ready"},
                           {"supportedSources", {"display"}},
                           {"systemAudioSupported", true},
                           {"microphoneSupported", false},
                           {"maximumDurationSeconds", 3600},
                           {"video",
                            {{"codec", "h264"},
                             {"container", "mp4"},
                             {"maximumWidth", 3840},
                             {"maximumHeight", 2160},
                             {"maximumFramesPerSecond", 60}}}};

json receipt(std::int64_t limit) {
    return {{"sessionId", "S1"},         {"state", "preparing"},  {"source", {{"kind", "display"}, {"id", "1"}}},
            {"sourceName", "Display 1"}, {"systemAudio", false},  {"durationLimitSeconds", limit},
            {"expectedWidth", 1920},     {"expectedHeight", 1080}};
}

json savedResult() {
    return {{"sessionId", "S1"},
            {"state", "saved"},
            {"recording",
             {{"path", "/tmp/r/one.mp4"},
              {"durationSeconds", 2.5},
              {"width", 1920},
              {"height", 1080},
              {"bytes", 5000000000},
              {"warnings", json::array()}}}};
}

json failedResult() {
    return {{"sessionId", "S1"},
            {"state", "failed"},
            {"failure", {{"code", "capture_failed"}, {"message", "The capture stopped."}}}};
}

class VantorWithFakeApp : public ::testing::Test {
protected:
    // Replies per command; tests replace entries.
    std::map<std::string, std::function<std::string(const json&)>> replies = {
        {"capabilities", [](const json& r) { return FakeApp::success(r, capabilities); }},
        {"displays",
         [](const json& r) {
             return FakeApp::success(r, {{"displays", json::array()}});
         }},
        {"start", [](const json& r) { return FakeApp::success(r, receipt(600)); }},
        {"status",
         [](const json& r) {
             return FakeApp::success(r, {{"captureReadiness", "ready"}, {"automationEnabled", true}});
         }},
        {"stop",
         [](const json& r) {
             return FakeApp::success(r, {{"sessionId", "S1"}, {"state", "stopping"}});
         }},
        {"result", [](const json& r) { return FakeApp::success(r, savedResult()); }},
    };

    void SetUp() override {
        // The bundle's program leaves a mark when something launches it, then exits at once.
        const auto program = app.bundle() / "Contents" / "MacOS" / "Lumora";
        std::ofstream(program) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.launched\"\n";
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    }

    // The listener thread reads the replies while tests change them between runs.
    std::mutex repliesMutex;
    // Declared after what its listener thread reads, so that it stops before they are destroyed.
    FakeApp app{"app.lumora.Lumora"};

    void setReply(const std::string& name, std::function<std::string(const json&)> reply) {
        std::lock_guard lock(repliesMutex);
        replies[name] = std::move(reply);
    }

    void listen() {
        app.listen([this](const json& request) {
            const auto name = request["command"].get<std::string>();
            std::lock_guard lock(repliesMutex);
            return replies.at(name)(request);
        });
    }

    bool launched() const { return std::filesystem::exists(app.bundle() / "Contents" / "MacOS" / "Lumora.launched"); }

    ProcessOutcome vantor(std::vector<std::string> arguments,
                          std::map<std::string, std::optional<std::string>> env = {}) {
        std::vector<std::string> argv = {vantorPath, "--app", app.bundle().string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        env.emplace("HOME", app.home().string());
        env.emplace("RECORDER_APP", std::nullopt);
        return testsupport::runProcess(argv, testsupport::inEnvironment(env));
    }

    std::vector<json> requestsNamed(const std::string& name) const {
        std::vector<json> found;
        for (const auto& r : app.requests())
            if (r["command"] == name) found.push_back(r);
        return found;
    }
};

void expectUsage(const ProcessOutcome& outcome, int status) {
    EXPECT_EQ(outcome.exitStatus, status);
    EXPECT_EQ(outcome.err, usage);
    EXPECT_EQ(outcome.out, "");
}

json document(const ProcessOutcome& outcome) {
    EXPECT_FALSE(outcome.out.empty());
    EXPECT_EQ(outcome.out.back(), '\n');
    return json::parse(outcome.out);
}

TEST_F(VantorWithFakeApp, HelpAndGrammarErrorsNeedNoApp) {
    // Nothing listens: every one of these ends before any connection attempt.
    expectUsage(testsupport::runProcess({vantorPath}, testsupport::inEnvironment({{"HOME", app.home().string()}})), 2);
    expectUsage(vantor({"--help"}), 0);
    expectUsage(vantor({"setup", "--help"}), 0);
    expectUsage(vantor({"start", "--help"}), 0);
    expectUsage(vantor({"--help", "--bogus"}), 2);
    expectUsage(vantor({"status", "--session"}), 2);
    expectUsage(vantor({"start", "--display", "1", "--duration"}), 2);
    expectUsage(vantor({"capabilities", "extra"}), 2);
    expectUsage(vantor({"status", "--display=1"}), 2);
    EXPECT_FALSE(launched());
}

TEST_F(VantorWithFakeApp, CommandErrorsComeAfterTheConnection) {
    // Without its program the bundle fails to launch at once.
    std::filesystem::remove(app.bundle() / "Contents" / "MacOS" / "Lumora");
    // Unreachable first: the connection failure wins over the unknown command and bad options.
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"-h"}, {"nonsense"}, {"start", "--display", "1", "--duration", "abc"}, {"stop"}}) {
        const auto outcome = vantor(arguments);
        EXPECT_EQ(outcome.exitStatus, 6) << arguments[0];
        EXPECT_EQ(document(outcome)["error"]["code"], "app_unavailable");
        EXPECT_EQ(outcome.err, "");
    }
    listen();
    expectUsage(vantor({"-h"}), 2);
    expectUsage(vantor({"nonsense"}), 2);
    expectUsage(vantor({"start", "--display", "1", "--duration", "abc"}), 2);
    expectUsage(vantor({"start", "--display", "1", "--duration", "9223372036854775808"}), 2);
    expectUsage(vantor({"start", "--duration", "5"}), 2);
    expectUsage(vantor({"start", "--display", "1", "--request-id",
                        "ab\xFF"
                        "c"}),
                2);
    expectUsage(vantor({"stop"}), 2);
    expectUsage(vantor({"result", "--wait"}), 2);
    EXPECT_TRUE(requestsNamed("start").empty());
    EXPECT_TRUE(requestsNamed("stop").empty());
    EXPECT_TRUE(requestsNamed("result").empty());
}

TEST_F(VantorWithFakeApp, CapabilitiesDocumentIsPrettyPrinted) {
    listen();
    const auto outcome = vantor({"capabilities", "--session", "ignored"});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(outcome.out,
              "{\n"
              "  \"appName\" : \"Lumora\",\n"
              "  \"appVersion\" : \"1.3\",\n"
              "  \"automationEnabled\" : true,\n"
              "  \"bundleIdentifier\" : \"app.lumora.Lumora\",\n"
              "  \"captureReadiness\" : \"ready\",\n"
              "  \"maximumDurationSeconds\" : 3600,\n"
              "  \"microphoneSupported\" : false,\n"
              "  \"supportedSources\" : [\n"
              "    \"display\"\n"
              "  ],\n"
              "  \"systemAudioSupported\" : true,\n"
              "  \"video\" : {\n"
              "    \"codec\" : \"h264\",\n"
              "    \"container\" : \"mp4\",\n"
              "    \"maximumFramesPerSecond\" : 60,\n"
              "    \"maximumHeight\" : 2160,\n"
              "    \"maximumWidth\" : 3840\n"
              "  }\n"
              "}\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(launched());
}

TEST_F(VantorWithFakeApp, DisplaysAlwaysHasItsOneKey) {
    listen();
    auto outcome = vantor({"displays"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.out, "{\n  \"displays\" : []\n}\n");
    setReply("displays", [](const json& r) {
        return FakeApp::success(r, {{"displays",
                                     {{{"id", "1"},
                                       {"name", "Main/Left"},
                                       {"pixelWidth", 1920},
                                       {"pixelHeight", 1080},
                                       {"isDefault", true}}}}});
    });
    outcome = vantor({"displays"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(document(outcome)["displays"][0]["name"], "Main/Left");
    EXPECT_NE(outcome.out.find("\"Main/Left\""), std::string::npos) << "slashes stay unescaped";
}

TEST_F(VantorWithFakeApp, StartSendsTheOptionsAndPrintsTheReceipt) {
    listen();
    auto outcome = vantor({"start", "--display", "1", "--duration", "+7", "--system-audio", "--request-id", "my-id"});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(document(outcome), receipt(600));
    auto starts = requestsNamed("start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["requestId"], "my-id");
    EXPECT_EQ(starts[0]["appInstanceId"], "FAKE-INSTANCE");
    EXPECT_EQ(starts[0]["parameters"],
              (json{{"source", {{"kind", "display"}, {"id", "1"}}}, {"durationSeconds", 7}, {"systemAudio", true}}));

    // Without the options: no duration, no system audio, a fresh UUID as request identifier,
    // and an empty display identifier passed on as it is.
    outcome = vantor({"start", "--display", ""});
    EXPECT_EQ(outcome.exitStatus, 0);
    starts = requestsNamed("start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1]["parameters"], (json{{"source", {{"kind", "display"}, {"id", ""}}}, {"systemAudio", false}}));
    EXPECT_EQ(starts[1]["requestId"].get<std::string>().size(), 36u);
}

TEST_F(VantorWithFakeApp, StartWaitWaitsTheLimitPlusAMinuteAndPrintsOnlyTheResult) {
    listen();
    auto outcome = vantor({"start", "--display", "1", "--wait"});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(document(outcome), savedResult());

    // A limit of -60 seconds leaves a wait of 0: exactly one poll, then the time-out document.
    setReply("start", [](const json& r) { return FakeApp::success(r, receipt(-60)); });
    setReply("result", [](const json& r) {
        return FakeApp::success(r, {{"sessionId", "S1"}, {"state", "recording"}});
    });
    const auto before = requestsNamed("result").size();
    outcome = vantor({"start", "--display", "1", "--wait"});
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_EQ(document(outcome),
              (json{{"error", {{"code", "timeout"}, {"message", "Timed out waiting for the recording to finish."}}}}));
    EXPECT_EQ(requestsNamed("result").size() - before, 1u);

    setReply("start", [](const json& r) { return FakeApp::success(r, receipt(600)); });
    setReply("result", [](const json& r) { return FakeApp::success(r, failedResult()); });
    outcome = vantor({"start", "--display", "1", "--wait"});
    EXPECT_EQ(outcome.exitStatus, 5);
    EXPECT_EQ(document(outcome), failedResult());
}

TEST_F(VantorWithFakeApp, StatusNamesTheSessionOnlyWhenGiven) {
    listen();
    EXPECT_EQ(vantor({"status"}).exitStatus, 0);
    const auto outcome = vantor({"status", "--session", "S9"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.out, "{\n  \"automationEnabled\" : true,\n  \"captureReadiness\" : \"ready\"\n}\n");
    const auto statuses = requestsNamed("status");
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].value("parameters", json::object()), json::object());
    EXPECT_EQ(statuses[1]["parameters"], (json{{"sessionId", "S9"}}));
}

// The threads of the vantor process that runs on `home`, counted while it waits for a reply;
// -1 when no such process is found.
int threadsOfVantorOn(const std::filesystem::path& home) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path program = fs::canonical(vantorPath, error);
    const std::string mark = "HOME=" + home.string();
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const fs::path exe = fs::read_symlink(entry.path() / "exe", error);
        if (error || exe != program) continue;
        std::ifstream environ(entry.path() / "environ", std::ios::binary);
        std::string variable;
        bool onHome = false;
        while (std::getline(environ, variable, '\0')) onHome = onHome || variable == mark;
        if (!onHome) continue;
        int threads = 0;
        for (const auto& task : fs::directory_iterator(entry.path() / "task", error)) {
            (void)task;
            ++threads;
        }
        return error ? -1 : threads;
    }
    return -1;
}

// A short command uses no pool: while status waits for its reply, vantor runs its main thread
// and at most one more.
TEST_F(VantorWithFakeApp, StatusRunsOnAtMostOneThreadBesidesItsMain) {
    std::atomic<int> threads{-1};
    setReply("status", [&](const json& r) {
        threads = threadsOfVantorOn(app.home());
        return FakeApp::success(r, {{"captureReadiness", "ready"}, {"automationEnabled", true}});
    });
    listen();
    EXPECT_EQ(vantor({"status"}).exitStatus, 0);
    EXPECT_GE(threads.load(), 1);
    EXPECT_LE(threads.load(), 2);
}

TEST_F(VantorWithFakeApp, RejectedRepliesArePrintedUnchangedWithTheirStatus) {
    struct Row {
        std::string code;
        int status;
        std::optional<std::string> hint;
    };
    listen();
    for (const auto& row : std::vector<Row>{{"session_not_owned", 4, "Stop it in Lumora."},
                                            {"automation_disabled", 3, std::nullopt},
                                            {"invalid_request", 2, "Check the request."},
                                            {"finalization_failed", 5, std::nullopt},
                                            {"app_unavailable", 6, std::nullopt}}) {
        json error = {{"code", row.code}, {"message", "Refused: " + row.code + " / \xC3\xA9"}};
        if (row.hint) error["hint"] = *row.hint;
        setReply("stop", [error](const json& r) { return FakeApp::failure(r, error); });
        const auto outcome = vantor({"stop", "--session", "S1"});
        EXPECT_EQ(outcome.exitStatus, row.status) << row.code;
        EXPECT_EQ(document(outcome), (json{{"error", error}}));
        EXPECT_EQ(outcome.err, "");
    }
}

TEST_F(VantorWithFakeApp, ResultFailureSetsTheStatusOnlyWhenWaiting) {
    setReply("result", [](const json& r) { return FakeApp::success(r, failedResult()); });
    listen();
    auto outcome = vantor({"result", "--session", "S1"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(document(outcome), failedResult());
    outcome = vantor({"result", "--session", "S1", "--wait"});
    EXPECT_EQ(outcome.exitStatus, 5);
    EXPECT_EQ(document(outcome), failedResult());
}

TEST_F(VantorWithFakeApp, ResultWaitTimeoutFallsBackToTheDefaultForNonIntegers) {
    std::atomic<int> polls = 0;
    setReply("result", [&polls](const json& r) {
        // Saved on the second poll: a wait of 0 seconds would have given up after the first.
        return FakeApp::success(r, ++polls < 2 ? json{{"sessionId", "S1"}, {"state", "stopping"}} : savedResult());
    });
    listen();
    auto outcome = vantor({"result", "--session", "S1", "--wait", "--timeout", "x"});
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.out;
    EXPECT_EQ(document(outcome), savedResult());
    polls = 0;
    outcome = vantor({"result", "--session", "S1", "--wait", "--timeout", "0"});
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_EQ(document(outcome)["error"]["code"], "timeout");
    // Without --wait the time-out is ignored and one result is printed.
    polls = 0;
    outcome = vantor({"result", "--session", "S1", "--timeout", "0"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(document(outcome)["state"], "stopping");
}

TEST_F(VantorWithFakeApp, MalformedRepliesAreConnectionFailures) {
    // A reply without its result, and one with a number that no double holds.
    const std::vector<std::function<std::string(const json&)>> replies{
        [](const json& r) {
            return json{{"protocolVersion", 1}, {"requestId", r["requestId"]}, {"appInstanceId", "X"}, {"ok", true}}
                .dump();
        },
        [](const json& r) {
            return R"({"protocolVersion":1,"requestId":)" + r["requestId"].dump() +
                   R"(,"appInstanceId":"X","ok":true,"result":{"elapsedSeconds":1e999}})";
        },
    };
    listen();
    for (const auto& reply : replies) {
        setReply("status", reply);
        const auto outcome = vantor({"status"});
        EXPECT_EQ(outcome.exitStatus, 6);
        const auto doc = document(outcome);
        EXPECT_EQ(doc["error"]["code"], "app_unavailable");
        EXPECT_TRUE(doc["error"]["message"].get<std::string>().starts_with("Connection to Lumora failed: client("))
            << doc;
        EXPECT_FALSE(doc["error"].contains("hint"));
    }
}

TEST_F(VantorWithFakeApp, AnAppThatDoesNotStartGivesTheConnectionDocument) {
    // Nothing answers, so vantor launches the bundle's program, which exits at once.
    const auto outcome = vantor({"status"});
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_EQ(document(outcome),
              (json{{"error",
                     {{"code", "app_unavailable"},
                      {"message", "Lumora could not be reached: launchFailed(\"The app did not start.\")"},
                      {"hint", reachHint}}}}));
    ASSERT_TRUE(launched());
    std::ifstream marks(app.bundle() / "Contents" / "MacOS" / "Lumora.launched");
    std::string firstArgument;
    std::getline(marks, firstArgument);
    EXPECT_EQ(firstArgument, "--automation-launch");
}

TEST_F(VantorWithFakeApp, ARunningAppThatDoesNotAnswerIsNotLaunchedAgain) {
    // A process whose executable lies inside this bundle, with no socket.
    const auto program = app.bundle() / "Contents" / "MacOS" / "Lumora";
    std::filesystem::remove(program);
    std::filesystem::copy_file("/bin/sleep", program);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(program.c_str(), "Lumora", "15", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto outcome = vantor({"capabilities"});
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_EQ(
        document(outcome),
        (json{{"error",
               {{"code", "app_unavailable"},
                {"message", "Lumora is running, but this process cannot reach its automation socket."},
                {"hint",
                 "Check that \"Allow local automation\" is on in Lumora settings. If your AI app runs commands in "
                 "a restricted environment, allow this command to reach Lumora's local connection."}}}}));
}

TEST_F(VantorWithFakeApp, LocatingFollowsAppThenEnvironmentThenItsOwnBundle) {
    listen();
    const auto home = app.home().string();
    // RECORDER_APP alone finds the fake app.
    auto outcome =
        testsupport::runProcess({vantorPath, "capabilities"},
                                testsupport::inEnvironment({{"HOME", home}, {"RECORDER_APP", app.bundle().string()}}));
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.out;
    // --app wins over RECORDER_APP.
    outcome =
        testsupport::runProcess({vantorPath, "--app", home + "/Missing.app", "capabilities"},
                                testsupport::inEnvironment({{"HOME", home}, {"RECORDER_APP", app.bundle().string()}}));
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_EQ(document(outcome)["error"]["message"], "Lumora could not be reached: unexpectedBundle(\"Missing.app\")");
    // An empty RECORDER_APP still counts as set.
    outcome = testsupport::runProcess({vantorPath, "setup"},
                                      testsupport::inEnvironment({{"HOME", home}, {"RECORDER_APP", ""}}));
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_TRUE(document(outcome)["error"]["message"].get<std::string>().starts_with(
        "The recorder app could not be located: unexpectedBundle("));

    // Through a symbolic link on the PATH, vantor still finds the bundle it lives in.
    const auto link = app.home() / "bin" / "vantor";
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_symlink(vantorPath, link);
    outcome = testsupport::runProcess({link.string(), "setup", "--format", "json"},
                                      testsupport::inEnvironment({{"HOME", home}, {"RECORDER_APP", std::nullopt}}));
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.out;
    const auto bundle = std::filesystem::canonical(LUMORA_BUNDLE_DIR).string();
    EXPECT_EQ(json::parse(outcome.out)["mcpServers"]["lumora"]["command"], bundle + "/Contents/Helpers/Quillon");
}

TEST_F(VantorWithFakeApp, SetupPrintsTheTextsWithoutLaunchingAnything) {
    const auto helper = app.bundle().string() + "/Contents/Helpers/Quillon";
    auto outcome = vantor({"setup"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_TRUE(outcome.out.starts_with("Please connect me to the Lumora app on this Mac"));
    EXPECT_NE(outcome.out.find("\nCommand: " + helper + "\n"), std::string::npos);
    EXPECT_TRUE(outcome.out.ends_with("captureReadiness is \"ready\".\n"));

    outcome = vantor({"setup", "--format", "json"});
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(outcome.out, "{\n  \"mcpServers\": {\n    \"lumora\": {\n      \"command\": \"" + helper +
                               "\",\n      \"args\": []\n    }\n  }\n}\n");

    outcome = vantor({"setup", "--format", "commands"});
    EXPECT_EQ(outcome.exitStatus, 0);
    std::vector<std::string> lines;
    std::istringstream in(outcome.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "codex mcp add lumora -- \"" + helper + "\"");
    EXPECT_EQ(lines[1], "claude mcp add --scope user --transport stdio lumora -- \"" + helper + "\"");
    EXPECT_TRUE(lines[2].starts_with("code --add-mcp \"{\\\"name\\\":\\\"lumora\\\""));
    EXPECT_TRUE(lines[3].starts_with("cursor://anysphere.cursor-deeplink/mcp/install?name=lumora&config="));

    expectUsage(vantor({"setup", "--format", "yaml"}), 2);
    EXPECT_FALSE(launched());
    EXPECT_TRUE(app.requests().empty());

    outcome = testsupport::runProcess({vantorPath, "--app", "/nonexistent/Nothing.app", "setup"},
                                      testsupport::inEnvironment({{"HOME", app.home().string()}}));
    EXPECT_EQ(outcome.exitStatus, 6);
    EXPECT_EQ(document(outcome),
              (json{{"error",
                     {{"code", "app_unavailable"},
                      {"message", "The recorder app could not be located: unexpectedBundle(\"Nothing.app\")"}}}}));
}

TEST_F(VantorWithFakeApp, TextThatIsNotUTF8StillGivesADocument) {
    // The bundle name reaches the message through the failure's description.
    const auto outcome = testsupport::runProcess({vantorPath, "--app", "/nonexistent/\xFF\xFE.app", "status"},
                                                 testsupport::inEnvironment({{"HOME", app.home().string()}}));
    EXPECT_EQ(outcome.exitStatus, 6);
    const auto doc = document(outcome);
    EXPECT_EQ(doc["error"]["message"],
              "Lumora could not be reached: unexpectedBundle(\"\xEF\xBF\xBD\xEF\xBF\xBD.app\")");
}

}  // namespace

namespace {

TEST(VantorEmbeddedInformation, ListCarriesItsIdentityAndTheApps) {
    std::ifstream file(vantorPath, std::ios::binary);
    std::string bytes(std::filesystem::file_size(vantorPath), '\0');
    file.read(bytes.data(), std::streamsize(bytes.size()));
    const auto begin = bytes.find("<?xml");
    const auto end = bytes.find("</plist>", begin);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    const auto list = recorder::platform::InfoPlist::parse(bytes.substr(begin, end + 8 - begin));
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, (json{{"CFBundleIdentifier", std::string(LUMORA_BUNDLE_IDENTIFIER) + ".vantor"},
                           {"CFBundleName", "vantor"},
                           {"CFBundleDisplayName", "Lumora vantor"},
                           {"CFBundleShortVersionString", "1.3"},
                           {"CFBundleVersion", "14"},
                           {"LSMinimumSystemVersion", "15.0"},
                           {"RecorderAppBundleIdentifier", LUMORA_BUNDLE_IDENTIFIER},
                           {"RecorderAppGroup", "K9WQ2ZP4LM.recorder"}}));
}

TEST(VantorEmbeddedInformation, NamesTheAppWhenTheBundleHasNoList) {
    // A copy of vantor inside a bundle without Info.plist: only the embedded list can say
    // which app this is.
    const testsupport::TemporaryDirectory temporary("vantor-copy");
    const std::filesystem::path& root = temporary.path();
    const auto helpers = root / "Other.app" / "Contents" / "Helpers";
    std::filesystem::create_directories(helpers);
    std::filesystem::copy_file(vantorPath, helpers / "vantor");
    const auto outcome =
        testsupport::runProcess({(helpers / "vantor").string(), "setup", "--format", "json"},
                                testsupport::inEnvironment({{"HOME", root.string()}, {"RECORDER_APP", std::nullopt}}));
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.out;
    EXPECT_EQ(json::parse(outcome.out, nullptr, false)["mcpServers"]["lumora"]["command"],
              (root / "Other.app" / "Contents" / "Helpers" / "Quillon").string());
}

}  // namespace
