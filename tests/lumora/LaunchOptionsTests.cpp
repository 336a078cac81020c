#include "lumora/LaunchOptions.h"

#include <gtest/gtest.h>

namespace lumora {
namespace {

TEST(LaunchOptions, EveryConditionCanBeSetForOneRun) {
    auto o = LaunchOptions::parse({"--automation-launch", "--automation-disabled", "--permission-missing",
                                   "--setup-incomplete", "--capture-failure", "during", "--capture-backend", "x11",
                                   "--x11-display", ":7", "--output-folder", "/tmp/rec", "--settings", "/tmp/s.json",
                                   "--manual-recording"});
    EXPECT_TRUE(o.automationLaunch);
    EXPECT_TRUE(o.manualRecording);
    EXPECT_EQ(o.settingsPath, "/tmp/s.json");
    Settings s;
    o.applyTo(s);
    EXPECT_FALSE(s.automationEnabled);
    EXPECT_FALSE(s.simulate.screenRecordingPermission);
    EXPECT_FALSE(s.simulate.setupComplete);
    EXPECT_EQ(s.simulate.captureFailure, CaptureFailureMode::during);
    EXPECT_EQ(s.captureBackend, CaptureBackendKind::x11);
    EXPECT_EQ(s.x11Display, ":7");
    EXPECT_EQ(s.outputFolder, "/tmp/rec");
}

TEST(LaunchOptions, NothingGivenChangesNothing) {
    auto o = LaunchOptions::parse({});
    EXPECT_FALSE(o.automationLaunch);
    Settings s, before;
    s.automationEnabled = false;
    before.automationEnabled = false;
    o.applyTo(s);
    EXPECT_EQ(s, before);
    Settings on;
    on.automationEnabled = false;
    LaunchOptions::parse({"--automation-enabled"}).applyTo(on);
    EXPECT_TRUE(on.automationEnabled);
}

TEST(LaunchOptions, GrantOptionAndEveryBackEndName) {
    EXPECT_TRUE(LaunchOptions::parse({"--grant-screen-access"}).grantScreenAccess);
    EXPECT_FALSE(LaunchOptions::parse({}).grantScreenAccess);
    for (const char* name : {"auto", "wayland", "x11", "synthetic"}) {
        Settings s;
        s.captureBackend = CaptureBackendKind::x11;
        LaunchOptions::parse({"--capture-backend", name}).applyTo(s);
        EXPECT_EQ(captureBackendName(s.captureBackend), name);
    }
    try {
        LaunchOptions::parse({"--capture-backend", "quartz"});
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "--capture-backend takes auto, wayland, x11 or synthetic, not quartz.");
    }
}

TEST(LaunchOptions, RefusesUnknownArgumentsAndMissingOrBadValues) {
    for (auto args : std::vector<std::vector<std::string>>{{"--frobnicate"},
                                                           {"--settings"},
                                                           {"--capture-failure", "sometimes"},
                                                           {"--capture-backend", "quartz"},
                                                           {"-automation-launch"}})
        EXPECT_THROW(LaunchOptions::parse(args), std::invalid_argument) << args[0];
}

TEST(LaunchOptions, TheDesktopEntryActionsAreOneAtATime) {
    EXPECT_TRUE(LaunchOptions::parse({"--start-recording"}).startRecording);
    EXPECT_FALSE(LaunchOptions::parse({"--start-recording"}).stopRecording);
    EXPECT_TRUE(LaunchOptions::parse({"--stop-recording"}).stopRecording);
    try {
        LaunchOptions::parse({"--stop-recording", "--start-recording"});
        FAIL() << "both actions were accepted";
    } catch (const std::invalid_argument& bad) {
        EXPECT_STREQ(bad.what(), "--start-recording and --stop-recording cannot be given together.");
    }
}

}  // namespace
}  // namespace lumora
