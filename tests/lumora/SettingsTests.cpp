#include "lumora/Settings.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace lumora {
namespace {

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
    for (const auto& p : problems)
        if (p.find(text) != std::string::npos) return true;
    return false;
}

TEST(Settings, MissingFileGivesTheDefaultsWithoutProblems) {
    auto load = SettingsLoad::fromFile("/nonexistent/lumora/settings.json");
    EXPECT_FALSE(load.fileExists);
    EXPECT_TRUE(load.problems.empty());
    EXPECT_EQ(load.settings, Settings{});
    EXPECT_TRUE(load.settings.automationEnabled);
    EXPECT_EQ(load.settings.virtualDisplays.size(), 2u);
    EXPECT_EQ(load.settings.virtualDisplays[0].id, "1");
}

TEST(Settings, CaptureBackendIsAutomaticUnlessNamed) {
    EXPECT_EQ(Settings{}.captureBackend, CaptureBackendKind::automatic);
    for (auto [text, kind] :
         std::vector<std::pair<std::string, CaptureBackendKind>>{{"auto", CaptureBackendKind::automatic},
                                                                 {"wayland", CaptureBackendKind::wayland},
                                                                 {"x11", CaptureBackendKind::x11},
                                                                 {"synthetic", CaptureBackendKind::synthetic}}) {
        auto load = SettingsLoad::fromText("{\"captureBackend\": \"" + text + "\"}", "f");
        EXPECT_TRUE(load.problems.empty()) << text;
        EXPECT_EQ(load.settings.captureBackend, kind) << text;
        EXPECT_EQ(captureBackendName(kind), text);
        EXPECT_EQ(load.settings.toJSON()["captureBackend"], text);
    }
}

TEST(Settings, DefaultsWrittenAsJSONReadBackEqual) {
    Settings s;
    s.automationEnabled = false;
    s.simulate.captureFailure = CaptureFailureMode::finalize;
    s.simulate.setupComplete = false;
    s.virtualDisplays = {{"main", "Main", 640, 360, 2.0}};
    auto load = SettingsLoad::fromText(s.toJSON().dump(), "test");
    EXPECT_TRUE(load.problems.empty()) << load.problems.front();
    EXPECT_EQ(load.settings, s);
}

TEST(Settings, TextThatIsNotAnObjectGivesTheDefaultsAndSaysSo) {
    for (const char* text : {"", "{", "[1,2]", "\"x\"", "{\"automationEnabled\": tru}"}) {
        auto load = SettingsLoad::fromText(text, "settings.json");
        EXPECT_EQ(load.settings, Settings{}) << text;
        ASSERT_EQ(load.problems.size(), 1u) << text;
        EXPECT_NE(load.problems[0].find("settings.json: not a JSON object; using the default settings."),
                  std::string::npos);
    }
}

struct BadValue {
    const char* json;
    const char* mentioned;
};

class SettingsBadValue : public testing::TestWithParam<BadValue> {};

TEST_P(SettingsBadValue, FallsBackToThatKeysDefaultAndKeepsTheOthers) {
    std::string text = std::string("{\"outputFolder\": \"/tmp/kept\", ") + GetParam().json + "}";
    auto load = SettingsLoad::fromText(text, "f");
    Settings expected;
    expected.outputFolder = "/tmp/kept";
    EXPECT_EQ(load.settings, expected) << text;
    EXPECT_TRUE(mentions(load.problems, GetParam().mentioned)) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SettingsBadValue,
    testing::Values(BadValue{"\"automationEnabled\": \"yes\"", "\"automationEnabled\" must be true or false"},
                    BadValue{
                        "\"captureBackend\": \"quartz\"",
                        "\"captureBackend\" must be \"auto\", \"wayland\", \"x11\" or \"synthetic\"; using \"auto\"."},
                    BadValue{"\"frameRate\": 60", "\"frameRate\" must be a whole number from 1 to 30"},
                    BadValue{"\"frameRate\": 0", "\"frameRate\""},
                    BadValue{"\"virtualDisplays\": {}", "\"virtualDisplays\" must be a list"},
                    BadValue{"\"virtualDisplays\": []", "names no usable display"},
                    BadValue{"\"virtualDisplays\": [{\"id\": \"a\", \"pixelWidth\": 8, \"pixelHeight\": 100}]",
                             "virtualDisplays[0] needs \"pixelWidth\""},
                    BadValue{"\"virtualDisplays\": [{\"pixelWidth\": 100, \"pixelHeight\": 100}]", "needs an \"id\""},
                    BadValue{"\"simulate\": {\"captureFailure\": \"sometimes\"}", "\"captureFailure\" must be"},
                    BadValue{"\"simulate\": 3", "\"simulate\" must be an object"},
                    BadValue{"\"colour\": \"red\"", "unknown key \"colour\" is ignored"}));

TEST(Settings, RepeatedDisplayIDsKeepTheFirstEntry) {
    auto load = SettingsLoad::fromText(R"({"virtualDisplays": [
        {"id": "a", "pixelWidth": 320, "pixelHeight": 240},
        {"id": "a", "pixelWidth": 640, "pixelHeight": 480},
        {"id": 7, "name": "Seven", "pixelWidth": 100, "pixelHeight": 50, "scale": 2}]})",
                                       "f");
    ASSERT_EQ(load.settings.virtualDisplays.size(), 2u);
    EXPECT_EQ(load.settings.virtualDisplays[0], (VirtualDisplay{"a", "Virtual Display a", 320, 240, 1.0}));
    EXPECT_EQ(load.settings.virtualDisplays[1], (VirtualDisplay{"7", "Seven", 100, 50, 2.0}));
    EXPECT_TRUE(mentions(load.problems, "repeats the id \"a\""));
}

TEST(Settings, OutputFolderResolvesTildeAndRelativePathsAgainstHome) {
    Settings s;
    EXPECT_EQ(s.resolvedOutputFolder("/home/u"), "/home/u/Videos/Lumora");
    s.outputFolder = "~";
    EXPECT_EQ(s.resolvedOutputFolder("/home/u"), "/home/u");
    s.outputFolder = "clips/../rec";
    EXPECT_EQ(s.resolvedOutputFolder("/home/u"), "/home/u/rec");
    s.outputFolder = "/srv/rec/";
    EXPECT_EQ(s.resolvedOutputFolder("/home/u"), "/srv/rec/");
}

TEST(Settings, UnreadableFileGivesTheDefaultsAndSaysSo) {
    const testsupport::TemporaryDirectory dir("lumora-settings");
    std::filesystem::create_directories(dir / "settings.json");  // a directory cannot be read as a file
    auto load = SettingsLoad::fromFile(dir / "settings.json");
    EXPECT_EQ(load.settings, Settings{});
    EXPECT_FALSE(load.problems.empty());
}

}  // namespace
}  // namespace lumora
