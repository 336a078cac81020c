// The recording indicator against a stand-in notification service on a private bus.

#include "lumora/NotificationIndicator.h"
#include "tests/lumora/FakeNotificationService.h"

#include <gtest/gtest.h>

#include <mutex>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationSessionState;
using testsupport::FakeNotificationService;
using testsupport::PrivateSessionBus;
using Notification = FakeNotificationService::Notification;

RecordingSession sessionIn(AutomationSessionState state, RecordingOrigin origin = RecordingOrigin::automation,
                           std::string id = "S1", std::string display = "Small Display") {
    RecordingSession s;
    s.id = std::move(id);
    s.origin = origin;
    s.state = state;
    s.display.name = std::move(display);
    return s;
}

// Collects what the indicator says and which sessions it was asked to stop.
struct Heard {
    std::mutex mutex;
    std::vector<std::string> lines, stops;
    NotificationIndicator::Log log() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    NotificationIndicator::StopHandler stop() {
        return [this](const std::string& id) {
            std::lock_guard lock(mutex);
            stops.push_back(id);
        };
    }
    std::vector<std::string> stopped() {
        std::lock_guard lock(mutex);
        return stops;
    }
    std::vector<std::string> said() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

TEST(NotificationIndicator, OneResidentNotificationWithTheStopActionIsUpdatedInPlaceAndClosedAtTheEnd) {
    PrivateSessionBus bus;
    FakeNotificationService service(bus.address());
    Heard heard;
    NotificationIndicator indicator(bus.address(), heard.stop(), heard.log());
    for (auto state : {AutomationSessionState::preparing, AutomationSessionState::recording,
                       AutomationSessionState::stopping, AutomationSessionState::saved}) {
        indicator.update(sessionIn(state));
        ASSERT_TRUE(indicator.waitUntilDelivered(5s));
    }
    ASSERT_TRUE(service.waitFor([](auto& shown, auto& closed) { return !shown.empty() && !closed.empty(); }, 5s));

    const auto shown = service.notifications();
    ASSERT_EQ(shown.size(), 3u);
    const auto id = shown.front().id;
    EXPECT_EQ(shown.front().replacesID, 0u);
    for (const auto& n : shown) {
        EXPECT_EQ(n.id, id) << "every update replaces the first notification";
        EXPECT_EQ(n.appName, "Lumora");
        EXPECT_EQ(n.resident, true);
        EXPECT_EQ(n.transient, false);
        EXPECT_EQ(n.desktopEntry, LUMORA_BUNDLE_IDENTIFIER);
        EXPECT_EQ(n.expireTimeout, 0);
        EXPECT_NE(n.body.find("“Small Display”"), std::string::npos) << n.body;
        EXPECT_NE(n.body.find("Started by an agent"), std::string::npos) << n.body;
    }
    for (std::size_t i = 1; i < shown.size(); ++i) EXPECT_EQ(shown[i].replacesID, id);
    EXPECT_EQ(shown.back().summary, "Lumora is saving the recording");
    EXPECT_TRUE(shown.back().actions.empty()) << "a recording being saved has nothing left to stop";
    bool sawRecording = false;
    for (const auto& n : shown)
        if (n.summary == "Lumora is recording") {
            sawRecording = true;
            EXPECT_EQ(n.actions, (std::vector<std::string>{"stop", "Stop recording"}));
        }
    EXPECT_TRUE(sawRecording);
    EXPECT_EQ(service.closed(), std::vector<std::uint32_t>{id});
    EXPECT_TRUE(heard.said().empty());
}

TEST(NotificationIndicator, InvokingStopAsksForThatSessionToStopAndNothingElseDoes) {
    PrivateSessionBus bus;
    FakeNotificationService service(bus.address(), {"actions", "body", "body-markup"});
    Heard heard;
    NotificationIndicator indicator(bus.address(), heard.stop(), heard.log());
    indicator.update(sessionIn(AutomationSessionState::recording, RecordingOrigin::manual, "M7", "Left & <Right>"));
    ASSERT_TRUE(indicator.waitUntilDelivered(5s));
    const auto shown = service.notifications();
    ASSERT_EQ(shown.size(), 1u);
    // A server that reads markup gets the display's name escaped.
    EXPECT_EQ(shown[0].body, "Recording “Left &amp; &lt;Right&gt;”. Started by you.");

    service.invokeAction(shown[0].id + 1, "stop");  // somebody else's notification
    service.invokeAction(shown[0].id, "default");   // a click on the body
    service.invokeAction(shown[0].id, "stop");
    for (int i = 0; i < 100 && heard.stopped().empty(); ++i) std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(heard.stopped(), std::vector<std::string>{"M7"});
}

TEST(NotificationIndicator, AnEndOfAnotherSessionLeavesTheShownOneAlone) {
    PrivateSessionBus bus;
    FakeNotificationService service(bus.address());
    Heard heard;
    NotificationIndicator indicator(bus.address(), heard.stop(), heard.log());
    indicator.update(sessionIn(AutomationSessionState::recording, RecordingOrigin::automation, "A"));
    indicator.update(sessionIn(AutomationSessionState::failed, RecordingOrigin::automation, "B"));
    ASSERT_TRUE(indicator.waitUntilDelivered(5s));
    EXPECT_EQ(service.notifications().size(), 1u);
    EXPECT_TRUE(service.closed().empty());
}

struct Unavailable {
    const char* label;
    bool serviceOnBus;  // false: a bus without the service; the bus address is broken otherwise
    const char* said;
};

class NotificationIndicatorWithoutService : public testing::TestWithParam<Unavailable> {};

TEST_P(NotificationIndicatorWithoutService, SaysOnceWhyAndNeverBlocks) {
    std::optional<PrivateSessionBus> bus;
    std::string address = "unix:path=/nonexistent/lumora-test-bus";
    if (GetParam().serviceOnBus) {
        bus.emplace();
        address = bus->address();
    }
    Heard heard;
    {
        NotificationIndicator indicator(address, heard.stop(), heard.log());
        for (const char* id : {"A", "B"}) {
            indicator.update(sessionIn(AutomationSessionState::recording, RecordingOrigin::automation, id));
            EXPECT_TRUE(indicator.waitUntilDelivered(10s));
            indicator.update(sessionIn(AutomationSessionState::saved, RecordingOrigin::automation, id));
            EXPECT_TRUE(indicator.waitUntilDelivered(10s));
        }
    }
    const auto said = heard.said();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find(GetParam().said), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("Recording works as before."), std::string::npos) << said[0];
}

INSTANTIATE_TEST_SUITE_P(Cases, NotificationIndicatorWithoutService,
                         testing::Values(Unavailable{"NoServiceOnTheBus", true,
                                                     "no recording indicator is shown: no desktop notification service "
                                                     "(org.freedesktop.Notifications) answers on the session bus"},
                                         Unavailable{"NoBus", false,
                                                     "no recording indicator is shown: the session bus at "
                                                     "unix:path=/nonexistent/lumora-test-bus cannot be reached"}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace lumora
