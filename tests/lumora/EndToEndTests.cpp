// The Lumora program end to end: launched on a temporary HOME, driven through
// RecorderAutomationSession over its socket, recording real files with ffmpeg.

#include "tests/lumora/FakeNotificationService.h"
#include "tests/Support/LumoraAppTest.h"

#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Protocol/EmptyPayload.h"
#include "lumora/MediaProbe.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationErrorCode;
using recorder::AutomationSessionState;
using recorder::RecorderAutomationSession;
using testsupport::FakeNotificationService;
using testsupport::LumoraHome;
using testsupport::LumoraProcess;
using testsupport::PrivateSessionBus;

// Each case gets a temporary home; launch() starts Lumora on it and waits for its socket.
class LumoraProgram : public testsupport::LumoraAppTest {};

constexpr double twoFrames = 2.0 / 30.0 + 0.01;

recorder::StartParameters displayParameters(std::string id, std::optional<std::int64_t> duration = std::nullopt) {
    recorder::StartParameters p;
    p.source = {recorder::SourceKind::display, std::move(id)};
    p.durationSeconds = duration;
    return p;
}

// The failure that Lumora answered `operation` with.
recorder::AutomationFailure refusal(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const RecorderAutomationSession::Failure& failure) {
        if (const auto* rejected = failure.as<RecorderAutomationSession::Rejected>()) return rejected->failure;
        throw;
    }
    throw std::runtime_error("the operation was not refused");
}

recorder::StatusPayload waitForState(RecorderAutomationSession& session, const std::optional<std::string>& id,
                                     AutomationSessionState state, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto status = session.status(id);
        if ((status.session && status.session->state == state) || std::chrono::steady_clock::now() >= deadline)
            return status;
        std::this_thread::sleep_for(25ms);
    }
}

std::vector<std::filesystem::path> recordingsIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.path().extension() == ".mp4") files.push_back(entry.path());
    return files;
}

TEST_F(LumoraProgram, RecordsAFileThatMatchesItsSavedResult) {
    auto& lumora = launch();
    EXPECT_EQ(std::filesystem::status(lumora.endpoint().path()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto session = lumora.session();

    auto caps = session.capabilities();
    EXPECT_TRUE(caps.automationEnabled);
    EXPECT_EQ(caps.captureReadiness, "ready");
    EXPECT_EQ(caps.appVersion, "1.3");
    EXPECT_EQ(caps.bundleIdentifier, LUMORA_BUNDLE_IDENTIFIER);
    auto displays = session.displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_TRUE(displays[0].isDefault);
    EXPECT_EQ(displays[0].id, "1");

    auto receipt = session.start(displayParameters("1"));
    EXPECT_EQ(receipt.state, AutomationSessionState::preparing);
    EXPECT_EQ(receipt.durationLimitSeconds, 3600);
    auto status = waitForState(session, receipt.sessionID, AutomationSessionState::recording);
    ASSERT_TRUE(status.session);
    ASSERT_EQ(status.session->state, AutomationSessionState::recording) << lumora.log();
    std::this_thread::sleep_for(1200ms);
    auto stopped = session.stop(receipt.sessionID);
    EXPECT_EQ(stopped.state, AutomationSessionState::stopping);
    auto result = session.waitForResult(receipt.sessionID, 15);
    ASSERT_EQ(result.state, AutomationSessionState::saved) << lumora.log();
    ASSERT_TRUE(result.recording);
    const auto& saved = *result.recording;
    EXPECT_EQ(saved.endReason, "stopped");
    EXPECT_EQ(std::filesystem::path(saved.path).parent_path(), home.recordings());
    EXPECT_EQ(saved.bytes, std::int64_t(std::filesystem::file_size(saved.path)));
    auto measured = MediaProbe::measure(saved.path);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(measured));
    const auto& media = std::get<SavedMedia>(measured);
    EXPECT_EQ(saved.width, receipt.expectedWidth);
    EXPECT_EQ(saved.height, receipt.expectedHeight);
    EXPECT_EQ(media.width, saved.width);
    EXPECT_EQ(media.height, saved.height);
    EXPECT_NEAR(media.durationSeconds, saved.durationSeconds, twoFrames);
    EXPECT_GT(saved.durationSeconds, 1.0);
    // Stopping again is harmless.
    EXPECT_EQ(session.stop(receipt.sessionID).state, AutomationSessionState::saved);

    lumora.signal(SIGTERM);
    auto exit = lumora.waitExit(15s);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->succeeded()) << lumora.log();
    EXPECT_FALSE(std::filesystem::exists(lumora.endpoint().path()));
}

TEST_F(LumoraProgram, TheDurationLimitStopsTheRecordingByItself) {
    auto& lumora = launch();
    auto session = lumora.session();
    auto receipt = session.start(displayParameters("2", 1));
    EXPECT_EQ(receipt.durationLimitSeconds, 1);
    auto result = session.waitForResult(receipt.sessionID, 15);
    ASSERT_EQ(result.state, AutomationSessionState::saved) << lumora.log();
    EXPECT_EQ(result.recording->endReason, "duration_limit");
    EXPECT_NEAR(result.recording->durationSeconds, 1.0, twoFrames);
    EXPECT_EQ(result.recording->width, 160);
    EXPECT_EQ(result.recording->height, 120);
}

// --- Every refusal through the program ----------------------------------------------------------

struct ProgramRefusal {
    const char* name;
    std::vector<std::string> arguments;
    std::function<void(Settings&)> settings;
    std::function<void(LumoraProcess&, RecorderAutomationSession&)> act;
    AutomationErrorCode code;
};

recorder::AutomationFailure rawRefusal(LumoraProcess& lumora, recorder::AutomationRequest request) {
    auto response = lumora.client().send<recorder::EmptyPayload>(request);
    EXPECT_FALSE(response.ok);
    if (!response.error) throw std::runtime_error("no error in the response");
    return *response.error;
}

const ProgramRefusal programRefusals[] = {
    {"UnsupportedVersion",
     {},
     {},
     [](LumoraProcess& l, RecorderAutomationSession&) {
         recorder::AutomationRequest r;
         r.protocolVersion = 2;
         r.requestID = "v2";
         throw rawRefusal(l, r);
     },
     AutomationErrorCode::unsupportedVersion},
    {"InstanceChanged",
     {},
     {},
     [](LumoraProcess& l, RecorderAutomationSession&) {
         recorder::AutomationRequest r;
         r.requestID = "stale";
         r.appInstanceID = "AN-EARLIER-INSTANCE";
         r.command = recorder::AutomationCommand::result({"S"});
         throw rawRefusal(l, r);
     },
     AutomationErrorCode::instanceChanged},
    {"DurationOutOfRange",
     {},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.start(displayParameters("1", 3601)); },
     AutomationErrorCode::invalidRequest},
    {"WindowSource",
     {},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) {
         auto p = displayParameters("1");
         p.source.kind = recorder::SourceKind::window;
         s.start(p);
     },
     AutomationErrorCode::unsupportedSource},
    {"UnknownDisplay",
     {},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.start(displayParameters("42")); },
     AutomationErrorCode::sourceUnavailable},
    {"SystemAudioUnavailable",
     {},
     [](Settings& s) { s.systemAudioAvailable = false; },
     [](LumoraProcess&, RecorderAutomationSession& s) {
         auto p = displayParameters("1");
         p.systemAudio = true;
         s.start(p);
     },
     AutomationErrorCode::unsupportedAudio},
    {"Busy",
     {},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) {
         s.start(displayParameters("1", 5));
         s.start(displayParameters("2", 5));
     },
     AutomationErrorCode::busy},
    {"IdempotencyConflict",
     {},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) {
         auto first = s.start(displayParameters("1", 5), "one-request");
         EXPECT_EQ(s.start(displayParameters("1", 5), "one-request").sessionID, first.sessionID);
         s.start(displayParameters("1", 6), "one-request");
     },
     AutomationErrorCode::idempotencyConflict},
    {"SessionNotFound",
     {},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.stop("no-such-session"); },
     AutomationErrorCode::sessionNotFound},
    {"AutomationDisabled",
     {"--automation-disabled"},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.displays(); },
     AutomationErrorCode::automationDisabled},
    {"PermissionRequired",
     {"--permission-missing"},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.start(displayParameters("1")); },
     AutomationErrorCode::permissionRequired},
    {"SetupRequired",
     {"--setup-incomplete"},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.start(displayParameters("1")); },
     AutomationErrorCode::setupRequired},
    {"DestinationUnavailable",
     {"--output-folder", "/proc/version/rec"},
     {},
     [](LumoraProcess&, RecorderAutomationSession& s) { s.start(displayParameters("1")); },
     AutomationErrorCode::destinationUnavailable},
};

class LumoraProgramRefusal : public testsupport::LumoraAppTestOn<testing::TestWithParam<ProgramRefusal>> {};

TEST_P(LumoraProgramRefusal, AnswersWithItsCodeMessageAndHint) {
    auto settings = LumoraHome::smallSettings();
    if (GetParam().settings) GetParam().settings(settings);
    home.writeSettings(settings);
    auto& lumora = launch(GetParam().arguments);
    auto session = lumora.session();
    recorder::AutomationFailure failure;
    try {
        failure = refusal([&] { GetParam().act(lumora, session); });
    } catch (const recorder::AutomationFailure& raw) {
        failure = raw;
    }
    EXPECT_EQ(failure.code, GetParam().code) << failure.message;
    EXPECT_FALSE(failure.message.empty());
    EXPECT_TRUE(failure.hint && !failure.hint->empty());
}

INSTANTIATE_TEST_SUITE_P(Program, LumoraProgramRefusal, testing::ValuesIn(programRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Failing captures ---------------------------------------------------------------------------

struct FailingCapture {
    const char* mode;
    AutomationErrorCode code;
};

class LumoraProgramFailingCapture : public testsupport::LumoraAppTestOn<testing::TestWithParam<FailingCapture>> {};

TEST_P(LumoraProgramFailingCapture, EndsTheSessionFailedWithItsCode) {
    auto& lumora = launch({"--capture-failure", GetParam().mode});
    auto session = lumora.session();
    auto receipt = session.start(displayParameters("1", 1));
    auto result = session.waitForResult(receipt.sessionID, 15);
    ASSERT_EQ(result.state, AutomationSessionState::failed) << lumora.log();
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->code, GetParam().code);
    EXPECT_FALSE(result.failure->message.empty());
    EXPECT_FALSE(result.recording);
    EXPECT_TRUE(recordingsIn(home.recordings()).empty());
    // A failed session leaves Lumora ready for the next one.
    EXPECT_EQ(session.capabilities().captureReadiness, "ready");
}

INSTANTIATE_TEST_SUITE_P(Modes, LumoraProgramFailingCapture,
                         testing::Values(FailingCapture{"start", AutomationErrorCode::captureFailed},
                                         FailingCapture{"during", AutomationErrorCode::captureFailed},
                                         FailingCapture{"finalize", AutomationErrorCode::finalizationFailed}),
                         [](const auto& info) { return std::string(info.param.mode); });

// --- The user's own recording, signals, settings -----------------------------------------------

TEST_F(LumoraProgram, ARecordingStartedByHandIsReportedButCannotBeStoppedThroughAutomation) {
    auto& lumora = launch({});
    auto session = lumora.session();
    lumora.signal(SIGUSR1);  // the record button
    auto status = waitForState(session, std::nullopt, AutomationSessionState::recording);
    ASSERT_TRUE(status.session) << lumora.log();
    EXPECT_EQ(status.session->origin, "manual");
    EXPECT_EQ(status.session->state, AutomationSessionState::recording);
    EXPECT_EQ(status.captureReadiness, "busy");
    ASSERT_TRUE(status.session->sessionID);
    const auto manualID = *status.session->sessionID;
    auto failure = refusal([&] { session.stop(manualID); });
    EXPECT_EQ(failure.code, AutomationErrorCode::sessionNotOwned);
    EXPECT_EQ(refusal([&] { session.start(displayParameters("1")); }).code, AutomationErrorCode::busy);
    auto caps = session.capabilities();
    ASSERT_TRUE(caps.activeSession);
    EXPECT_EQ(caps.activeSession->origin, "manual");
    EXPECT_FALSE(caps.activeSession->automationSessionID);

    lumora.signal(SIGUSR1);  // the user stops it
    ASSERT_TRUE(lumora.waitForLog("Saved session " + manualID, 15s)) << lumora.log();
    EXPECT_FALSE(session.status().session);
    auto files = recordingsIn(home.recordings());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<SavedMedia>(MediaProbe::measure(files[0])));
}

TEST_F(LumoraProgram, SIGTERMDuringARecordingSavesAPlayableFileAndRemovesTheSocket) {
    auto& lumora = launch();
    auto session = lumora.session();
    auto receipt = session.start(displayParameters("1"));
    ASSERT_EQ(waitForState(session, receipt.sessionID, AutomationSessionState::recording).session->state,
              AutomationSessionState::recording);
    std::this_thread::sleep_for(800ms);
    lumora.signal(SIGTERM);
    auto exit = lumora.waitExit(20s);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->succeeded()) << lumora.log();
    EXPECT_FALSE(std::filesystem::exists(lumora.endpoint().path()));
    auto files = recordingsIn(home.recordings());
    ASSERT_EQ(files.size(), 1u) << lumora.log();
    auto measured = MediaProbe::measure(files[0]);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(measured)) << std::get<std::string>(measured);
    EXPECT_GT(std::get<SavedMedia>(measured).durationSeconds, 0.5);
    EXPECT_NE(lumora.log().find("Saved session " + receipt.sessionID), std::string::npos) << lumora.log();
}

// Processes whose command line mentions `text` (the capture children write into the test's folder).
int processesMentioning(const std::string& text) {
    int count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream file(entry.path() / "cmdline");
        std::string commandLine((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (commandLine.find(text) != std::string::npos) ++count;
    }
    return count;
}

TEST_F(LumoraProgram, SIGKILLDuringARecordingLeavesNoCaptureRunningAndAPlayableFile) {
    auto& lumora = launch();
    auto session = lumora.session();
    auto receipt = session.start(displayParameters("1"));
    ASSERT_EQ(waitForState(session, receipt.sessionID, AutomationSessionState::recording).session->state,
              AutomationSessionState::recording);
    std::this_thread::sleep_for(800ms);
    ASSERT_GT(processesMentioning(home.recordings().string()), 0) << "the capture should be running";
    lumora.signal(SIGKILL);
    ASSERT_TRUE(lumora.waitExit(5s));

    // Without Lumora nobody would stop the capture or show that the screen is being recorded.
    int running = 1;
    for (int i = 0; i < 100 && running > 0; ++i) {
        std::this_thread::sleep_for(50ms);
        running = processesMentioning(home.recordings().string());
    }
    EXPECT_EQ(running, 0);
    auto files = recordingsIn(home.recordings());
    ASSERT_EQ(files.size(), 1u);
    auto measured = MediaProbe::measure(files[0]);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(measured)) << std::get<std::string>(measured);
    EXPECT_GT(std::get<SavedMedia>(measured).durationSeconds, 0.5);
}

std::vector<pid_t> processIDsMentioning(const std::string& text) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::ifstream file(entry.path() / "cmdline");
        std::string commandLine((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (commandLine.find(text) != std::string::npos) found.push_back(std::atoi(entry.path().filename().c_str()));
    }
    return found;
}

TEST_F(LumoraProgram, EveryProcessKilledAtOnceFiveSecondsInLeavesAFileThatPlaysForFourSeconds) {
    // Lumora, its capture's supervisor (a fork of Lumora) and ffmpeg all name the folder.
    auto& lumora = launch({"--automation-launch", "--output-folder", home.recordings().string()});
    auto session = lumora.session();
    auto receipt = session.start(displayParameters("1"));
    ASSERT_EQ(waitForState(session, receipt.sessionID, AutomationSessionState::recording).session->state,
              AutomationSessionState::recording);
    std::this_thread::sleep_for(5s);

    // A power cut, as near as a test gets: everything frozen first, so nothing sees another end.
    const auto pids = processIDsMentioning(home.recordings().string());
    ASSERT_GE(pids.size(), 3u);
    for (pid_t pid : pids) ::kill(pid, SIGSTOP);
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    ASSERT_TRUE(lumora.waitExit(5s));
    for (int i = 0; i < 100 && !processIDsMentioning(home.recordings().string()).empty(); ++i)
        std::this_thread::sleep_for(50ms);

    auto files = recordingsIn(home.recordings());
    ASSERT_EQ(files.size(), 1u);
    auto measured = MediaProbe::measure(files[0]);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(measured)) << std::get<std::string>(measured);
    EXPECT_GE(std::get<SavedMedia>(measured).durationSeconds, 4.0);
}

// --- The recording indicator and the desktop entry's actions -------------------------------------

std::vector<std::string> onBus(const PrivateSessionBus& bus) { return {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}; }

bool showsRecording(const std::vector<FakeNotificationService::Notification>& shown) {
    return !shown.empty() && shown.back().summary == "Lumora is recording";
}

// Every notification Lumora raised is the first one, updated in place.
void expectOneNotificationUpdatedInPlace(const std::vector<FakeNotificationService::Notification>& shown) {
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front().replacesID, 0u);
    for (const auto& n : shown) {
        EXPECT_EQ(n.id, shown.front().id);
        EXPECT_EQ(n.resident, true);
        EXPECT_EQ(n.expireTimeout, 0);
    }
}

TEST_F(LumoraProgram, TheIndicatorsStopActionEndsAnAutomatedRecordingSavedWithinTwoSeconds) {
    PrivateSessionBus bus;
    FakeNotificationService service(bus.address());
    home.writeSettings(LumoraHome::smallSettings());
    LumoraProcess lumora(home, {"--automation-launch"}, onBus(bus));
    ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
    auto session = lumora.session();
    auto receipt = session.start(displayParameters("1"));
    ASSERT_TRUE(service.waitFor([](auto& shown, auto&) { return showsRecording(shown); }, 10s)) << lumora.log();
    const auto shown = service.notifications().back();
    EXPECT_EQ(shown.body, "Recording “Small Display”. Started by an agent through local automation.");
    EXPECT_EQ(shown.actions, (std::vector<std::string>{"stop", "Stop recording"}));
    std::this_thread::sleep_for(1s);

    const auto clicked = std::chrono::steady_clock::now();
    service.invokeAction(shown.id, "stop");
    recorder::ResultPayload result;
    do {
        result = session.result(receipt.sessionID);
        if (result.state == AutomationSessionState::saved) break;
        std::this_thread::sleep_for(25ms);
    } while (std::chrono::steady_clock::now() - clicked < 2s);
    ASSERT_EQ(result.state, AutomationSessionState::saved) << lumora.log();
    ASSERT_TRUE(result.recording);
    EXPECT_EQ(result.recording->endReason, "stopped_in_app");
    EXPECT_TRUE(std::holds_alternative<SavedMedia>(MediaProbe::measure(result.recording->path)));

    ASSERT_TRUE(service.waitFor([&](auto&, auto& closed) { return !closed.empty(); }, 5s));
    EXPECT_EQ(service.closed(), std::vector<std::uint32_t>{shown.id});
    expectOneNotificationUpdatedInPlace(service.notifications());
    EXPECT_EQ(lumora.log().find("no recording indicator"), std::string::npos) << lumora.log();
}

TEST_F(LumoraProgram, TheDesktopEntryActionsStartAndStopARecordingByHandWithTheIndicatorShown) {
    PrivateSessionBus bus;
    FakeNotificationService service(bus.address());
    home.writeSettings(LumoraHome::smallSettings());
    auto runOnce = [&](const char* action, const std::string& said) {
        LumoraProcess once(home, {action}, onBus(bus));
        auto exit = once.waitExit(10s);
        ASSERT_TRUE(exit);
        EXPECT_TRUE(exit->succeeded()) << once.log();
        EXPECT_NE(once.log().find(said), std::string::npos) << once.log();
    };
    // Nothing runs: stopping says so and launches nothing.
    runOnce("--stop-recording", "Lumora: Lumora is not running; there is no recording to stop.");
    EXPECT_TRUE(service.notifications().empty());

    // Nothing runs: starting launches Lumora, which records by hand at once.
    LumoraProcess lumora(home, {"--start-recording"}, onBus(bus));
    ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
    auto session = lumora.session();
    auto status = waitForState(session, std::nullopt, AutomationSessionState::recording);
    ASSERT_TRUE(status.session) << lumora.log();
    EXPECT_EQ(status.session->origin, "manual");
    ASSERT_TRUE(service.waitFor([](auto& shown, auto&) { return showsRecording(shown); }, 10s)) << lumora.log();
    EXPECT_EQ(service.notifications().back().body, "Recording “Small Display”. Started by you.");
    EXPECT_EQ(service.notifications().back().actions, (std::vector<std::string>{"stop", "Stop recording"}));

    // Starting again while it records changes nothing; stopping saves it.
    runOnce("--start-recording", "Lumora: asked the running Lumora (process ");
    ASSERT_TRUE(
        lumora.waitForLog("a recording is already in progress (session " + *status.session->sessionID + ").", 5s))
        << lumora.log();
    runOnce("--stop-recording", " to stop recording.");
    ASSERT_TRUE(lumora.waitForLog("Saved session " + *status.session->sessionID, 15s)) << lumora.log();
    auto files = recordingsIn(home.recordings());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<SavedMedia>(MediaProbe::measure(files[0])));
    ASSERT_TRUE(service.waitFor([&](auto&, auto& closed) { return !closed.empty(); }, 5s));
    expectOneNotificationUpdatedInPlace(service.notifications());
    EXPECT_EQ(service.closed(), std::vector<std::uint32_t>{service.notifications().front().id});
}

TEST_F(LumoraProgram, WithoutANotificationServiceRecordingsWorkAsBeforeAndLumoraSaysWhyOnce) {
    PrivateSessionBus bus;  // nobody offers notifications on it
    home.writeSettings(LumoraHome::smallSettings());
    LumoraProcess lumora(home, {"--automation-launch"}, onBus(bus));
    ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
    auto session = lumora.session();
    for (int i = 0; i < 2; ++i) {
        auto receipt = session.start(displayParameters("1", 1));
        auto result = session.waitForResult(receipt.sessionID, 15);
        ASSERT_EQ(result.state, AutomationSessionState::saved) << lumora.log();
        EXPECT_EQ(result.recording->endReason, "duration_limit");
    }
    const auto log = lumora.log();
    const std::string why =
        "Lumora: no recording indicator is shown: no desktop notification service "
        "(org.freedesktop.Notifications) answers on the session bus (";
    const auto first = log.find(why);
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(why, first + 1), std::string::npos) << "said once only:\n" << log;
}

TEST_F(LumoraProgram, ABrokenSettingsFileIsReportedAndTheDefaultsApply) {
    home.writeSettings("{ \"automationEnabled\": ");
    auto& lumora = launch();
    EXPECT_TRUE(lumora.waitForLog("not a JSON object; using the default settings.", 5s)) << lumora.log();
    auto session = lumora.session();
    EXPECT_TRUE(session.capabilities().automationEnabled);
    EXPECT_EQ(session.displays().size(), Settings::defaultVirtualDisplays().size());
    // The broken file is left for the user to mend.
    std::ifstream in(home.appDirectory() / "settings.json");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "{ \"automationEnabled\": ");
}

TEST_F(LumoraProgram, AFirstRunWritesTheDefaultSettingsAndSIGHUPReadsThemAgain) {
    LumoraProcess lumora(home, {});
    ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
    const auto file = home.appDirectory() / "settings.json";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(SettingsLoad::fromFile(file).settings, Settings{});
    auto session = lumora.session();
    EXPECT_NO_THROW(session.displays());

    Settings off;
    off.automationEnabled = false;
    home.writeSettings(off);
    lumora.signal(SIGHUP);
    ASSERT_TRUE(lumora.waitForLog("settings read again", 5s)) << lumora.log();
    EXPECT_EQ(refusal([&] { session.displays(); }).code, AutomationErrorCode::automationDisabled);
    EXPECT_FALSE(session.capabilities().automationEnabled);
}

TEST_F(LumoraProgram, SecondCopyOnTheSameSocketRefusesToStart) {
    home.writeSettings(LumoraHome::smallSettings());
    LumoraProcess first(home, {});
    ASSERT_TRUE(first.waitForSocket()) << first.log();
    LumoraProcess second(home, {});
    auto exit = second.waitExit(10s);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->status, 1);
    EXPECT_NE(second.log().find("could not be opened"), std::string::npos) << second.log();
    EXPECT_TRUE(first.session().capabilities().automationEnabled);
}

TEST_F(LumoraProgram, AnUnknownArgumentPrintsTheUsageAndExitsTwo) {
    LumoraProcess lumora(home, {"--frobnicate"});
    auto exit = lumora.waitExit(10s);
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->status, 2);
    EXPECT_NE(lumora.log().find("Unknown argument --frobnicate."), std::string::npos) << lumora.log();
    EXPECT_NE(lumora.log().find("usage: Lumora [options]"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(lumora.endpoint().path()));
}

TEST_F(LumoraProgram, AutoWithoutAnyDesktopRecordsTheTestPattern) {
    auto settings = LumoraHome::smallSettings();
    settings.captureBackend = CaptureBackendKind::automatic;
    home.writeSettings(settings);
    const auto runtime = home.path() / "run";  // a runtime directory without compositor or bus
    std::filesystem::create_directories(runtime);
    LumoraProcess lumora(home, {}, {"XDG_RUNTIME_DIR=" + runtime.string(), "DISPLAY=:65000"});
    ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
    EXPECT_NE(lumora.log().find("capture back end auto: synthetic (a test pattern), no Wayland session was found and "
                                "the X display :65000 does not answer."),
              std::string::npos)
        << lumora.log();
    auto session = lumora.session();
    auto displays = session.displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0].id, "1");
    EXPECT_EQ(session.capabilities().captureReadiness, "ready");
}

TEST_F(LumoraProgram, GrantOptionSaysWhatItDidAndExits) {
    {
        LumoraProcess lumora(home, {"--grant-screen-access", "--capture-backend", "synthetic"});
        auto exit = lumora.waitExit(10s);
        ASSERT_TRUE(exit);
        EXPECT_EQ(exit->status, 0);
        EXPECT_NE(lumora.log().find("Lumora: the synthetic capture back end records without asking the desktop; there "
                                    "is nothing to grant."),
                  std::string::npos)
            << lumora.log();
    }
    {
        const auto runtime = home.path() / "run";
        std::filesystem::create_directories(runtime);
        LumoraProcess lumora(home, {"--grant-screen-access", "--capture-backend", "wayland"},
                             {"XDG_RUNTIME_DIR=" + runtime.string()});
        auto exit = lumora.waitExit(10s);
        ASSERT_TRUE(exit);
        EXPECT_EQ(exit->status, 1);
        EXPECT_NE(lumora.log().find("Lumora: the wayland back end found no Wayland session (Wayland socket none, "
                                    "session bus unix:path=/nonexistent/lumora-test-bus, X display "),
                  std::string::npos)
            << lumora.log();
        EXPECT_NE(lumora.log().find("Lumora: no display to grant: the Wayland compositor lists no monitor."),
                  std::string::npos)
            << lumora.log();
        EXPECT_FALSE(std::filesystem::exists(home.appDirectory() / "screencast-grants.json"));
        EXPECT_FALSE(std::filesystem::exists(lumora.endpoint().path()));  // it never served
    }
}

TEST_F(LumoraProgram, EachLaunchHasAFreshAppInstance) {
    home.writeSettings(LumoraHome::smallSettings());
    std::string firstInstance;
    {
        LumoraProcess lumora(home, {});
        ASSERT_TRUE(lumora.waitForSocket());
        auto session = lumora.session();
        session.capabilities();
        firstInstance = *session.appInstanceID();
    }
    LumoraProcess lumora(home, {});
    ASSERT_TRUE(lumora.waitForSocket());
    auto session = lumora.session();
    session.capabilities();
    EXPECT_NE(*session.appInstanceID(), firstInstance);
    EXPECT_EQ(session.appInstanceID()->size(), 36u);
}

// --- The x11 back end against an Xvfb display started here ---------------------------------------

TEST_F(LumoraProgram, RecordsAnXvfbDisplayWithTheX11Backend) {
    if (!ChildProcess::locate("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    std::string display;
    std::optional<ChildProcess> xvfb;
    for (int number = 140 + ::getpid() % 60; number < 400 && !xvfb; number += 11) {
        if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) continue;
        display = ":" + std::to_string(number);
        xvfb.emplace("Xvfb", std::vector<std::string>{display, "-screen", "0", "256x144x24", "-nolisten", "tcp"});
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) && !xvfb->poll() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        if (!std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) xvfb.reset();
    }
    ASSERT_TRUE(xvfb) << "Xvfb did not start";
    {
        home.writeSettings(LumoraHome::smallSettings());
        LumoraProcess lumora(home, {"--capture-backend", "x11", "--x11-display", display});
        ASSERT_TRUE(lumora.waitForSocket()) << lumora.log();
        auto session = lumora.session();
        auto displays = session.displays();
        ASSERT_EQ(displays.size(), 1u);
        EXPECT_EQ(displays[0].pixelWidth, 256);
        EXPECT_EQ(displays[0].pixelHeight, 144);
        EXPECT_TRUE(displays[0].isDefault);
        EXPECT_FALSE(session.capabilities().systemAudioSupported);
        auto receipt = session.start(displayParameters(displays[0].id, 1));
        auto result = session.waitForResult(receipt.sessionID, 15);
        ASSERT_EQ(result.state, AutomationSessionState::saved) << lumora.log();
        EXPECT_EQ(result.recording->width, 256);
        EXPECT_EQ(result.recording->height, 144);
        EXPECT_NEAR(result.recording->durationSeconds, 1.0, twoFrames);
    }
    xvfb->signal(SIGTERM);
    xvfb->waitFor(5s);
}

}  // namespace
}  // namespace lumora
