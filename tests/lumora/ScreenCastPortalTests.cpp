// The portal client and the Wayland capture against a stand-in portal on a private bus: what
// they ask for, how every answer (a grant, a refusal, silence, a refused token) ends, and what is
// kept of a grant.

#include "FakeScreenCastPortal.h"
#include "lumora/ScreenCastCapture.h"
#include "lumora/ScreenCastPortal.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <optional>

// GLib, GIO and GObject are not built for the thread sanitizer; the suppressions for them are
// lumora/GLibThreadSanitizer.cpp, compiled into every program that links LumoraCore.

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationErrorCode;
using testsupport::FakeScreenCastPortal;
using testsupport::PrivateSessionBus;

const std::string firstToken = "11111111-2222-4333-8444-555555555555";
const std::string secondToken = "66666666-7777-4888-9999-aaaaaaaaaaaa";

class PortalTest : public testing::Test {
protected:
    void SetUp() override {
        if (!ChildProcess::locate("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
        dir_ = temporary_.emplace("lumora-portal").path();
        bus_.emplace();
        ASSERT_FALSE(bus_->address().empty());
    }
    void TearDown() override {
        portal_.reset();
        bus_.reset();
        temporary_.reset();
    }
    FakeScreenCastPortal& serve(FakeScreenCastPortal::Behaviour behaviour = {}) {
        portal_.emplace(bus_->address(), behaviour);
        EXPECT_TRUE(portal_->ready());
        return *portal_;
    }
    ScreenCastPortal::Timing quick() const { return {5s, 1s}; }

    template <typename Predicate>
    static bool eventually(Predicate p) {
        for (int i = 0; i < 200; ++i) {
            if (p()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return p();
    }

    std::optional<testsupport::TemporaryDirectory> temporary_;
    std::filesystem::path dir_;
    std::optional<PrivateSessionBus> bus_;
    std::optional<FakeScreenCastPortal> portal_;
};

TEST_F(PortalTest, AsksForOneMonitorToKeepAndHandsOverItsStream) {
    auto& fake = serve();
    {
        ScreenCastPortal portal(bus_->address(), quick(), [] { return false; });
        auto answer = portal.open(std::nullopt);
        ASSERT_TRUE(std::holds_alternative<ScreenCastPortal::Grant>(answer));
        const auto& grant = std::get<ScreenCastPortal::Grant>(answer);
        EXPECT_EQ(grant.stream, (PortalStream{42, 0, 0, 1280, 720}));
        EXPECT_EQ(grant.restoreToken, firstToken);
        EXPECT_FALSE(portal.restoreTokenRefused());
        auto remote = portal.openPipeWireRemote();
        ASSERT_TRUE(std::holds_alternative<int>(remote));
        EXPECT_GE(std::get<int>(remote), 0);
        ::close(std::get<int>(remote));
    }
    auto seen = fake.seen();
    EXPECT_EQ(seen.types, 1u);        // monitors
    EXPECT_EQ(seen.cursorMode, 2u);   // the cursor drawn into the picture
    EXPECT_EQ(seen.persistMode, 2u);  // a grant that lasts until revoked
    EXPECT_EQ(seen.restoreToken, std::nullopt);
    EXPECT_EQ(seen.starts, 1);
    EXPECT_TRUE(eventually([&] { return fake.seen().closedSessions == 1; }));  // the cast ends with the object
}

TEST_F(PortalTest, StoredTokenGoesWithTheRequestWhereTheInterfaceKnowsTokens) {
    auto& fake = serve();
    ScreenCastPortal portal(bus_->address(), quick(), [] { return false; });
    ASSERT_TRUE(std::holds_alternative<ScreenCastPortal::Grant>(portal.open(secondToken)));
    EXPECT_EQ(fake.seen().restoreToken, secondToken);

    FakeScreenCastPortal::Behaviour old;
    old.version = 3;
    fake.setBehaviour(old);
    ScreenCastPortal older(bus_->address(), quick(), [] { return false; });
    ASSERT_TRUE(std::holds_alternative<ScreenCastPortal::Grant>(older.open(secondToken)));
    EXPECT_EQ(fake.seen().restoreToken, std::nullopt);
}

TEST_F(PortalTest, RefusalSilenceAndCancellationEndTheRequestEachTheirWay) {
    FakeScreenCastPortal::Behaviour refusing;
    refusing.startResponse = 1u;
    auto& fake = serve(refusing);
    {
        ScreenCastPortal portal(bus_->address(), quick(), [] { return false; });
        auto answer = portal.open(std::nullopt);
        ASSERT_TRUE(std::holds_alternative<CaptureError>(answer));
        EXPECT_EQ(std::get<CaptureError>(answer).code, AutomationErrorCode::permissionRequired);
        EXPECT_EQ(std::get<CaptureError>(answer).message,
                  "The user did not allow Lumora to record the screen (the desktop's screen-sharing request was "
                  "cancelled).");
        EXPECT_EQ(std::get<CaptureError>(answer).hint, std::string(screenAccessHint));
    }
    FakeScreenCastPortal::Behaviour silent;
    silent.startResponse = std::nullopt;
    fake.setBehaviour(silent);
    {
        ScreenCastPortal portal(bus_->address(), quick(), [] { return false; });
        const auto begin = std::chrono::steady_clock::now();
        auto answer = portal.open(std::nullopt);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 4s);
        ASSERT_TRUE(std::holds_alternative<CaptureError>(answer));
        EXPECT_EQ(std::get<CaptureError>(answer).message,
                  "Nobody answered the desktop's request to share the screen within 1 second; nothing was recorded.");
        EXPECT_TRUE(eventually([&] { return fake.seen().closedRequests == 1; }));  // the question is withdrawn
    }
    {
        std::atomic<bool> stop{false};
        ScreenCastPortal portal(bus_->address(), {5s, 30s}, [&] { return stop.load(); });
        std::thread stopper([&] {
            std::this_thread::sleep_for(300ms);
            stop = true;
        });
        const auto begin = std::chrono::steady_clock::now();
        auto answer = portal.open(std::nullopt);
        stopper.join();
        EXPECT_TRUE(std::holds_alternative<CaptureCancelled>(answer));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    }
}

TEST_F(PortalTest, RefusedTokenIsToldApartFromOtherFailures) {
    FakeScreenCastPortal::Behaviour strict;
    strict.refuseTokens = true;
    serve(strict);
    ScreenCastPortal portal(bus_->address(), quick(), [] { return false; });
    auto answer = portal.open(firstToken);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(answer));
    EXPECT_EQ(std::get<CaptureError>(answer).code, AutomationErrorCode::captureFailed);
    EXPECT_EQ(std::get<CaptureError>(answer).message,
              "The desktop's screen-cast portal refused SelectSources (GDBus.Error:org.freedesktop.portal.Error."
              "InvalidArgument: Restore token is not a valid UUID string).");
    EXPECT_TRUE(portal.restoreTokenRefused());
    ScreenCastPortal fresh(bus_->address(), quick(), [] { return false; });
    EXPECT_TRUE(std::holds_alternative<ScreenCastPortal::Grant>(fresh.open(std::nullopt)));
    EXPECT_FALSE(fresh.restoreTokenRefused());
}

TEST_F(PortalTest, NoPortalOnTheBus) {
    std::string why;
    EXPECT_FALSE(ScreenCastPortal::reachable(bus_->address(), 2s, &why));
    EXPECT_EQ(why.rfind("the session bus has no screen-cast portal: ", 0), 0u) << why;
    serve();
    EXPECT_TRUE(ScreenCastPortal::reachable(bus_->address(), 2s, &why));
}

// A whole capture: the grant is kept under the display the stream shows, sent with the next
// start, replaced when the portal refuses it; a stream that brings no picture fails on its own.
TEST_F(PortalTest, CaptureKeepsTheGrantAndFailsClearlyWithoutPictures) {
    if (!ChildProcess::locate("gst-launch-1.0")) GTEST_SKIP() << "gst-launch-1.0 is not installed";
    auto& fake = serve();
    ScreenCastGrants grants(dir_ / "grants.json");
    auto capture = [&] {
        ScreenCastCapture::Setup setup;
        setup.busAddress = bus_->address();
        setup.grants = &grants;
        setup.displayOfStream = [](const PortalStream& s) { return s.node == 42 ? std::string("HEADLESS-1") : ""; };
        setup.timing.portal = quick();
        setup.timing.recording.firstFrame = 1s;
        CaptureRequest request;
        request.display = {"HEADLESS-1", "Headless", 1280, 720, 1.0, true, 0, 0};
        request.outputWidth = 1280;
        request.outputHeight = 720;
        request.outputPath = dir_ / "x.mp4";
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<CaptureOutcome> outcome;
        ScreenCastCapture running(setup, request,
                                  {[] {},
                                   [&](CaptureOutcome o, CaptureEnd) {
                                       std::lock_guard lock(mutex);
                                       outcome = std::move(o);
                                       changed.notify_all();
                                   }});
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 20s, [&] { return outcome.has_value(); }));
        return outcome.value_or(CaptureCancelled{});
    };

    // The stand-in's stream never brings a frame.
    auto first = capture();
    ASSERT_TRUE(std::holds_alternative<CaptureError>(first));
    EXPECT_EQ(std::get<CaptureError>(first).message,
              "The desktop granted the screen but sent no picture within 1 second; nothing was recorded.");
    EXPECT_EQ(grants.token("HEADLESS-1"), firstToken);
    EXPECT_EQ(fake.seen().restoreToken, std::nullopt);

    FakeScreenCastPortal::Behaviour renewed;
    renewed.restoreToken = secondToken;
    renewed.refuseTokens = true;
    fake.setBehaviour(renewed);
    capture();
    EXPECT_EQ(fake.seen().starts, 2);                    // asked anew without the refused token
    EXPECT_EQ(grants.token("HEADLESS-1"), secondToken);  // and the new grant kept

    FakeScreenCastPortal::Behaviour refusing;
    refusing.startResponse = 1u;
    fake.setBehaviour(refusing);
    auto refused = capture();
    EXPECT_EQ(fake.seen().restoreToken, secondToken);
    ASSERT_TRUE(std::holds_alternative<CaptureError>(refused));
    EXPECT_EQ(std::get<CaptureError>(refused).code, AutomationErrorCode::permissionRequired);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "x.mp4"));
}

}  // namespace
}  // namespace lumora
