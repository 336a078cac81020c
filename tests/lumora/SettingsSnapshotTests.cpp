// Settings and display lists shared with the request handler instead of copied per request:
// a replaced snapshot is what the very next request sees, and nobody sees a half-written one.

#include "lumora/LumoraRequestHandler.h"
#include "lumora/SettingsSnapshot.h"
#include "lumora/SyntheticBackend.h"
#include "tests/Support/TemporaryDirectory.h"
#include "tests/lumora/FakeCaptureBackend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace lumora {
namespace {

using recorder::AutomationCommand;
using recorder::AutomationErrorCode;
using recorder::AutomationReply;
using recorder::AutomationRequest;

const std::string instance = "1C2D3E4F-5A6B-4C7D-8E9F-A0B1C2D3E4F5";

AutomationRequest request(AutomationCommand command) {
    AutomationRequest r;
    r.requestID = "R1";
    r.appInstanceID = instance;
    r.command = std::move(command);
    return r;
}

struct SnapshotFixture {
    testsupport::TemporaryDirectory home;
    std::shared_ptr<testsupport::FakeCaptureBackend> backend = std::make_shared<testsupport::FakeCaptureBackend>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>(backend, 16);
    std::shared_ptr<SettingsSnapshot> settings = std::make_shared<SettingsSnapshot>();
    LumoraRequestHandler handler{{"Lumora", "1.3", "app.lumora.Lumora", instance},
                                 backend,
                                 recorder,
                                 [s = settings] { return s->current(); },
                                 home.path()};

    AutomationReply send(AutomationCommand command) { return handler.handle(request(std::move(command))); }
    recorder::CapabilitiesPayload capabilities() {
        return std::get<AutomationReply::Capabilities>(send(AutomationCommand::capabilities()).value()).payload;
    }
};

// What the reply to one request shows of the settings; compared before and after the change.
struct ReplacementCase {
    const char* name;
    std::function<void(Settings&)> change;
    std::function<std::string(SnapshotFixture&)> observe;
    std::string before;
    std::string after;
};

std::string failureCode(const AutomationReply& reply) {
    const auto* failure = std::get_if<AutomationReply::Failure>(&reply.value());
    return failure ? std::string(recorder::automation_error_code::rawValue(failure->failure.code)) : "answered";
}

const ReplacementCase replacementCases[] = {
    {"AutomationTurnedOff", [](Settings& s) { s.automationEnabled = false; },
     [](SnapshotFixture& f) { return failureCode(f.send(AutomationCommand::status({}))); }, "answered",
     "automation_disabled"},
    {"AutomationShownOffInCapabilities", [](Settings& s) { s.automationEnabled = false; },
     [](SnapshotFixture& f) { return std::string(f.capabilities().automationEnabled ? "on" : "off"); }, "on", "off"},
    {"SetupNotComplete", [](Settings& s) { s.simulate.setupComplete = false; },
     [](SnapshotFixture& f) { return f.capabilities().captureReadiness; }, "ready", "setup_required"},
    {"PermissionWithdrawn", [](Settings& s) { s.simulate.screenRecordingPermission = false; },
     [](SnapshotFixture& f) { return f.capabilities().captureReadiness; }, "ready", "permission_required"},
    {"FrameRateLowered", [](Settings& s) { s.frameRate = 12; },
     [](SnapshotFixture& f) { return std::to_string(f.capabilities().video.maximumFramesPerSecond); }, "30", "12"},
    {"SystemAudioUnavailable", [](Settings& s) { s.systemAudioAvailable = false; },
     [](SnapshotFixture& f) { return std::string(f.capabilities().systemAudioSupported ? "yes" : "no"); }, "yes", "no"},
};

class SettingsReplacement : public testing::TestWithParam<ReplacementCase> {};

TEST_P(SettingsReplacement, TheVeryNextRequestSeesTheReplacedSettings) {
    SnapshotFixture f;
    EXPECT_EQ(GetParam().observe(f), GetParam().before);
    Settings changed = *f.settings->current();
    GetParam().change(changed);
    f.settings->replace(changed);
    EXPECT_EQ(GetParam().observe(f), GetParam().after);
    f.settings->replace(Settings{});
    EXPECT_EQ(GetParam().observe(f), GetParam().before);
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsReplacement, testing::ValuesIn(replacementCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsSnapshotTest, AHeldSnapshotIsLeftAloneByAReplacement) {
    SettingsSnapshot snapshot;
    const auto held = snapshot.current();
    Settings next;
    next.outputFolder = "/elsewhere";
    next.frameRate = 5;
    snapshot.replace(next);
    EXPECT_EQ(*held, Settings{});
    EXPECT_EQ(*snapshot.current(), next);
    EXPECT_NE(held.get(), snapshot.current().get());
}

TEST(SettingsSnapshotTest, ReadersDuringReplacementsSeeOneWholeVersionEachTime) {
    // Two versions whose fields must never be seen mixed.
    Settings a;
    a.outputFolder = std::string(64, 'a');
    a.frameRate = 10;
    Settings b;
    b.outputFolder = std::string(64, 'b');
    b.frameRate = 20;
    b.virtualDisplays.clear();
    SettingsSnapshot snapshot(a);
    std::atomic<bool> done = false;
    std::atomic<int> mixed = 0;
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (!done) {
                const auto s = snapshot.current();
                const bool isA = *s == a, isB = *s == b;
                if (!isA && !isB) ++mixed;
            }
        });
    for (int i = 0; i < 2000; ++i) snapshot.replace(i % 2 ? a : b);
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(mixed, 0);
}

TEST(DisplayListTest, TheSyntheticBackEndHandsOutOneUnchangingList) {
    SyntheticBackend backend({{"s", "Small", 192, 108, 1.0}, {"l", "Large", 3840, 2160, 2.0}}, true);
    const auto first = backend.displayList();
    EXPECT_EQ(first.get(), backend.displayList().get());
    EXPECT_EQ(*first, backend.displays());
    ASSERT_EQ(first->size(), 2u);
    EXPECT_TRUE(first->front().isDefault);
    EXPECT_FALSE(first->back().isDefault);
}

TEST(DisplayListTest, ABackEndWhoseDisplaysChangeIsAskedAgainForEveryRequest) {
    SnapshotFixture f;
    EXPECT_EQ(f.capabilities().captureReadiness, "ready");
    const auto held = f.backend->displayList();
    f.backend->list.clear();
    EXPECT_EQ(f.capabilities().captureReadiness, "no_display");
    EXPECT_EQ(failureCode(f.send(AutomationCommand::start({{recorder::SourceKind::display, "1"}}))),
              "source_unavailable");
    EXPECT_EQ(held->size(), 2u);  // a list handed out earlier is not changed under its holder
    f.backend->list.push_back({"7", "Late", 800, 600, 1.0, true, 0, 0});
    const auto displays = std::get<AutomationReply::Displays>(f.send(AutomationCommand::displays()).value());
    ASSERT_EQ(displays.payload.displays.size(), 1u);
    EXPECT_EQ(displays.payload.displays.front().id, "7");
}

}  // namespace
}  // namespace lumora
