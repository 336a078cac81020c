// Quillon's start-up as a process: where it finds Lumora, "--warm", tracing, and that its
// standard output carries JSON-RPC only.
#include "Quillon/QuillonStartup.h"
#include "QuillonServer/JSON.h"
#include "RecorderAutomation/Client/AutomationEndpoint.h"
#include "tests/Support/Subprocess.h"
#include "tests/Support/TemporaryHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using mcp::JSON;
using Options = testsupport::ProcessOptions;

namespace {

const std::string bundle = LUMORA_BUNDLE_DIR;
const std::string quillon = bundle + "/Contents/Helpers/Quillon";
const std::string failureText =
    "Quillon must run from inside Lumora.app (Contents/Helpers) or with RECORDER_APP set to the app path.\n";

class QuillonProcess : public testing::Test {
protected:
    testsupport::ProcessOutcome run(Options options, std::vector<std::string> argv = {quillon}) {
        options.environment.emplace("HOME", home.string());  // unless the test set them
        options.environment.emplace("RECORDER_APP", std::nullopt);
        return testsupport::runProcess(argv, options);
    }
    // Where the app's socket lives for this HOME.
    fs::path endpointDirectory() {
        return temporary.asHome([] {
            return recorder::AutomationEndpoint::standard(LUMORA_BUNDLE_IDENTIFIER, LUMORA_APP_GROUP).directory();
        });
    }
    std::string copyOutsideBundle() {
        fs::create_directories(home / "bin");
        auto copy = home / "bin" / "Quillon";
        fs::copy_file(quillon, copy);
        return copy.string();
    }

    // Short: the socket path under it must stay within the platform's limit.
    testsupport::TemporaryHome temporary{testsupport::TemporaryHome::Scope::childrenOnly, "qh"};
    const fs::path home = temporary.path();
};

const std::string ping = R"({"jsonrpc":"2.0","id":3,"method":"ping"})"
                         "\n";
const std::string pong = R"({"id":3,"jsonrpc":"2.0","result":{}})"
                         "\n";

TEST_F(QuillonProcess, ServesFromInsideTheBundleAndExitsAtEndOfInput) {
    auto outcome = run(Options().withInput(
        ping + R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})"
               "\n"));
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_TRUE(outcome.err.empty()) << outcome.err;
    ASSERT_TRUE(outcome.out.starts_with(pong)) << outcome.out;
    auto init = JSON::parse(outcome.out.substr(pong.size()));
    const JSON& result = *init["result"];
    EXPECT_EQ(*result["protocolVersion"], JSON("2025-03-26"));
    EXPECT_EQ(*result["serverInfo"], JSON::object({{"name", "lumora"}, {"version", "1.3"}}));
    EXPECT_EQ(*result["instructions"],
              JSON("Controls the Lumora app on this computer. Typical flow: recorder_capabilities \u2192 "
                   "recorder_list_displays \u2192 recorder_start_recording \u2192 (do the work being demonstrated) "
                   "\u2192 recorder_stop_recording \u2192 recorder_recording_result. Recording requires the user to "
                   "have enabled local automation and granted screen-recording permission in the app; the tools "
                   "report what is missing instead of prompting."));
}

TEST_F(QuillonProcess, UnusableRecorderAppFailsEvenInsideAValidBundle) {
    fs::create_directories(home / "NotAnApp");
    for (std::string app :
         {(home / "missing" / "Lumora.app").string(), (home / "NotAnApp").string(), std::string("")}) {
        auto outcome = run(Options().withVariable("RECORDER_APP", app).withInput(ping));
        EXPECT_EQ(outcome.exitStatus, 1) << app;
        EXPECT_EQ(outcome.err, failureText) << app;
        EXPECT_TRUE(outcome.out.empty()) << app;
    }
}

TEST_F(QuillonProcess, RecorderAppNamesTheBundleForACopyOutside) {
    auto copy = copyOutsideBundle();
    auto alone = run(Options().withInput(ping), {copy});
    EXPECT_EQ(alone.exitStatus, 1);
    EXPECT_EQ(alone.err, failureText);
    EXPECT_TRUE(alone.out.empty());

    auto pointed = run(Options().withVariable("RECORDER_APP", bundle).withInput(ping), {copy});
    EXPECT_EQ(pointed.exitStatus, 0) << pointed.err;
    EXPECT_EQ(pointed.out, pong);
}

TEST_F(QuillonProcess, WarmExitsWithoutReadingInput) {
    // Standard input stays open: a warm start must not wait for it.
    auto inside = run(Options().withInput(ping).keepingInputOpen().within(std::chrono::seconds(5)),
                      {quillon, "ignored", "--warm"});
    EXPECT_EQ(inside.exitStatus, 0);
    EXPECT_TRUE(inside.out.empty()) << inside.out;
    EXPECT_TRUE(inside.err.empty()) << inside.err;

    auto outside = run(Options().keepingInputOpen().within(std::chrono::seconds(5)), {copyOutsideBundle(), "--warm"});
    EXPECT_EQ(outside.exitStatus, 1);
    EXPECT_EQ(outside.err, failureText);
}

TEST_F(QuillonProcess, TraceSwitchNextToTheSocketTurnsTheLogOnAtTheNextStart) {
    auto directory = endpointDirectory();
    auto log = directory / "mcp-trace.log";
    ASSERT_EQ(run(Options().withInput(ping)).exitStatus, 0);
    EXPECT_FALSE(fs::exists(log));

    fs::create_directories(directory);
    std::ofstream(directory / "mcp-trace.enabled") << "content is not read";
    auto traced = run(Options().withInput(ping));
    EXPECT_EQ(traced.exitStatus, 0);
    EXPECT_EQ(traced.out, pong);  // the trace never goes to standard output
    std::vector<std::string> lines;
    {
        std::ifstream file(log);
        for (std::string line; std::getline(file, line);) lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("---- session ")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" +0000 ----")) << lines[0];
    EXPECT_EQ(lines[1], "<< " + ping.substr(0, ping.size() - 1));
    EXPECT_EQ(lines[2], ">> " + pong.substr(0, pong.size() - 1));

    fs::remove(directory / "mcp-trace.enabled");
    auto size = fs::file_size(log);
    EXPECT_EQ(run(Options().withInput(ping)).exitStatus, 0);
    EXPECT_EQ(fs::file_size(log), size);
}

TEST(QuillonStartupVersion, ComesFromTheOwnInformationList) {
    using quillon::QuillonStartup::serverVersion;
    EXPECT_EQ(serverVersion(nlohmann::json{{"CFBundleShortVersionString", "2.0"}}), "2.0");
    EXPECT_EQ(serverVersion(nlohmann::json{{"CFBundleShortVersionString", 2}}), "0");
    EXPECT_EQ(serverVersion(nlohmann::json::object()), "0");
    EXPECT_EQ(serverVersion(std::nullopt), "0");
}

}  // namespace
