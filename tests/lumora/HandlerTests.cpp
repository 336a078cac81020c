// The request handler against its rules. Tests named "...WithFakeCapture" check bookkeeping
// with a capture back end that the test drives; the others record with the real ffmpeg.

#include "lumora/LumoraRequestHandler.h"
#include "lumora/MediaProbe.h"
#include "lumora/SyntheticBackend.h"
#include "tests/lumora/FakeCaptureBackend.h"
#include "tests/Support/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

namespace lumora {
namespace {

using namespace std::chrono_literals;
using recorder::AutomationCommand;
using recorder::AutomationErrorCode;
using recorder::AutomationReply;
using recorder::AutomationRequest;
using recorder::AutomationSessionState;
using testsupport::FakeCaptureBackend;

const std::string instance = "7D3F0C1E-1111-4222-8333-944455556666";

using testsupport::TemporaryDirectory;

AutomationRequest request(AutomationCommand command, std::string requestID = "R1",
                          std::optional<std::string> appInstance = instance) {
    AutomationRequest r;
    r.requestID = std::move(requestID);
    r.appInstanceID = std::move(appInstance);
    r.command = std::move(command);
    return r;
}

recorder::StartParameters display(std::string id, std::optional<std::int64_t> duration = std::nullopt,
                                  bool audio = false) {
    recorder::StartParameters p;
    p.source = {recorder::SourceKind::display, std::move(id)};
    p.durationSeconds = duration;
    p.systemAudio = audio;
    return p;
}

AutomationCommand startOf(recorder::StartParameters p) { return AutomationCommand::start(std::move(p)); }
AutomationCommand stopOf(std::string id) { return AutomationCommand::stop({std::move(id)}); }
AutomationCommand resultOf(std::string id) { return AutomationCommand::result({std::move(id)}); }
AutomationCommand statusOf(std::optional<std::string> id = std::nullopt) {
    return AutomationCommand::status({std::move(id)});
}

template <class Case>
const Case& as(const AutomationReply& reply) {
    const auto* c = std::get_if<Case>(&reply.value());
    if (!c) {
        const auto* f = std::get_if<AutomationReply::Failure>(&reply.value());
        throw std::runtime_error("unexpected reply" + (f ? ": " + f->failure.message : std::string()));
    }
    return *c;
}

const recorder::AutomationFailure& failureOf(const AutomationReply& reply) {
    return as<AutomationReply::Failure>(reply).failure;
}

// A handler on a fake back end, with settings the test may change between requests.
struct Fixture {
    TemporaryDirectory home;
    std::shared_ptr<FakeCaptureBackend> backend = std::make_shared<FakeCaptureBackend>();
    std::shared_ptr<Recorder> recorder;
    Settings settings;
    std::mutex settingsMutex;
    std::unique_ptr<LumoraRequestHandler> handler;

    explicit Fixture(std::size_t capacity = 256) : recorder(std::make_shared<Recorder>(backend, capacity)) {
        settings.outputFolder = (home.path() / "Recordings").string();
        handler = std::make_unique<LumoraRequestHandler>(
            LumoraRequestHandler::Identity{"Lumora", "1.3", "app.lumora.Lumora", instance}, backend, recorder,
            [this] {
                std::lock_guard lock(settingsMutex);
                return std::make_shared<const Settings>(settings);
            },
            home.path());
    }
    ~Fixture() {
        // Ends what a test left running, so that the recorder does not wait for it.
        if (auto c = backend->last(); c && recorder->active()) c->end(CaptureCancelled{}, CaptureEnd::stopRequested);
    }
    AutomationReply send(AutomationCommand command, std::string requestID = "R1",
                         std::optional<std::string> appInstance = instance) {
        return handler->handle(request(std::move(command), std::move(requestID), std::move(appInstance)));
    }
    std::string startSession(const std::string& requestID = "R1", recorder::StartParameters p = display("1")) {
        return as<AutomationReply::Started>(send(startOf(std::move(p)), requestID)).payload.sessionID;
    }
};

// --- Refusals -----------------------------------------------------------------------------

struct RefusalCase {
    const char* name;
    AutomationErrorCode code;
    std::function<void(Fixture&)> arrange;
    std::function<AutomationReply(Fixture&)> act;
};

std::string longText(std::size_t n) { return std::string(n, 'x'); }

const RefusalCase refusalCases[] = {
    {"VersionTwo",
     AutomationErrorCode::unsupportedVersion,
     {},
     [](Fixture& f) {
         auto r = request(AutomationCommand::capabilities());
         r.protocolVersion = 2;
         return f.handler->handle(r);
     }},
    {"RequestIDOver128",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(AutomationCommand::capabilities(), longText(129)); }},
    {"AppInstanceIDOver128",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(AutomationCommand::capabilities(), "R", longText(129)); }},
    {"SourceIDOver128",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(startOf(display(longText(129)))); }},
    {"SessionIDOver128",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(stopOf(longText(129))); }},
    {"EmptyStartRequestID",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(startOf(display("1")), ""); }},
    {"DurationZero",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(startOf(display("1", 0))); }},
    {"Duration3601",
     AutomationErrorCode::invalidRequest,
     {},
     [](Fixture& f) { return f.send(startOf(display("1", 3601))); }},
    {"StaleInstanceStart",
     AutomationErrorCode::instanceChanged,
     {},
     [](Fixture& f) { return f.send(startOf(display("1")), "R", "OLD-INSTANCE"); }},
    {"StaleInstanceStop",
     AutomationErrorCode::instanceChanged,
     {},
     [](Fixture& f) { return f.send(stopOf("S"), "R", "OLD"); }},
    {"StaleInstanceResult",
     AutomationErrorCode::instanceChanged,
     {},
     [](Fixture& f) { return f.send(resultOf("S"), "R", "OLD"); }},
    {"StaleInstanceStatusOfSession",
     AutomationErrorCode::instanceChanged,
     {},
     [](Fixture& f) { return f.send(statusOf("S"), "R", "OLD"); }},
    {"AutomationOffDisplays", AutomationErrorCode::automationDisabled,
     [](Fixture& f) { f.settings.automationEnabled = false; },
     [](Fixture& f) { return f.send(AutomationCommand::displays()); }},
    {"AutomationOffStart", AutomationErrorCode::automationDisabled,
     [](Fixture& f) { f.settings.automationEnabled = false; },
     [](Fixture& f) { return f.send(startOf(display("1"))); }},
    {"AutomationOffStatus", AutomationErrorCode::automationDisabled,
     [](Fixture& f) { f.settings.automationEnabled = false; }, [](Fixture& f) { return f.send(statusOf()); }},
    {"SetupIncomplete", AutomationErrorCode::setupRequired,
     [](Fixture& f) { f.settings.simulate.setupComplete = false; },
     [](Fixture& f) { return f.send(startOf(display("1"))); }},
    {"PermissionMissing", AutomationErrorCode::permissionRequired,
     [](Fixture& f) { f.settings.simulate.screenRecordingPermission = false; },
     [](Fixture& f) { return f.send(startOf(display("1"))); }},
    {"WindowSource",
     AutomationErrorCode::unsupportedSource,
     {},
     [](Fixture& f) {
         auto p = display("1");
         p.source.kind = recorder::SourceKind::window;
         return f.send(startOf(p));
     }},
    {"RegionSource",
     AutomationErrorCode::unsupportedSource,
     {},
     [](Fixture& f) {
         auto p = display("1");
         p.source.kind = recorder::SourceKind::region;
         return f.send(startOf(p));
     }},
    {"UnknownDisplay",
     AutomationErrorCode::sourceUnavailable,
     {},
     [](Fixture& f) { return f.send(startOf(display("9"))); }},
    {"AudioUnavailableInSettings", AutomationErrorCode::unsupportedAudio,
     [](Fixture& f) { f.settings.systemAudioAvailable = false; },
     [](Fixture& f) { return f.send(startOf(display("1", {}, true))); }},
    {"AudioUnsupportedByBackend", AutomationErrorCode::unsupportedAudio, [](Fixture& f) { f.backend->audio = false; },
     [](Fixture& f) { return f.send(startOf(display("1", {}, true))); }},
    {"SecondRecording", AutomationErrorCode::busy, [](Fixture& f) { f.startSession("first"); },
     [](Fixture& f) { return f.send(startOf(display("2")), "second"); }},
    {"WhileUserRecords", AutomationErrorCode::busy,
     [](Fixture& f) { f.recorder->toggleByUser(*f.handler->manualOrder()); },
     [](Fixture& f) { return f.send(startOf(display("1"))); }},
    {"OutputFolderIsAFile", AutomationErrorCode::destinationUnavailable,
     [](Fixture& f) {
         std::ofstream(f.home.path() / "file") << "x";
         f.settings.outputFolder = (f.home.path() / "file").string();
     },
     [](Fixture& f) { return f.send(startOf(display("1"))); }},
    {"RequestIDReusedWithOtherParameters", AutomationErrorCode::idempotencyConflict,
     [](Fixture& f) { f.startSession("same"); }, [](Fixture& f) { return f.send(startOf(display("1", 5)), "same"); }},
    {"StopOfUnknownSession",
     AutomationErrorCode::sessionNotFound,
     {},
     [](Fixture& f) { return f.send(stopOf("nope")); }},
    {"ResultOfUnknownSession",
     AutomationErrorCode::sessionNotFound,
     {},
     [](Fixture& f) { return f.send(resultOf("")); }},
    {"StatusOfUnknownSession",
     AutomationErrorCode::sessionNotFound,
     {},
     [](Fixture& f) { return f.send(statusOf("nope")); }},
    {"StopOfManualRecording", AutomationErrorCode::sessionNotOwned,
     [](Fixture& f) { f.recorder->toggleByUser(*f.handler->manualOrder()); },
     [](Fixture& f) { return f.send(stopOf(f.recorder->active()->id)); }},
    {"ResultOfManualRecording", AutomationErrorCode::sessionNotOwned,
     [](Fixture& f) { f.recorder->toggleByUser(*f.handler->manualOrder()); },
     [](Fixture& f) { return f.send(resultOf(f.recorder->active()->id)); }},
};

class HandlerRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(HandlerRefusal, AnswersItsCodeWithAMessageAndAHintWithFakeCapture) {
    Fixture f;
    if (GetParam().arrange) GetParam().arrange(f);
    const auto started = f.backend->started();
    auto reply = GetParam().act(f);
    ASSERT_TRUE(reply.isFailure());
    const auto& failure = failureOf(reply);
    EXPECT_EQ(failure.code, GetParam().code) << failure.message;
    EXPECT_FALSE(failure.message.empty());
    ASSERT_TRUE(failure.hint.has_value());
    EXPECT_FALSE(failure.hint->empty());
    EXPECT_EQ(f.backend->started(), started) << "a refused request must not start a capture";
}

INSTANTIATE_TEST_SUITE_P(Rules, HandlerRefusal, testing::ValuesIn(refusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Handler, AcceptsTheLimitsThemselvesWithFakeCapture) {
    for (std::int64_t duration : {1, 3600}) {
        Fixture f;
        auto reply = f.send(startOf(display("1", duration)), std::string(128, 'r'));
        EXPECT_EQ(as<AutomationReply::Started>(reply).payload.durationLimitSeconds, duration);
    }
    Fixture f;
    EXPECT_FALSE(f.send(AutomationCommand::capabilities(), "R", std::string(128, 'i')).isFailure());
}

TEST(Handler, ReadOnlyCommandsAnswerAClientThatKnewAnEarlierInstanceWithFakeCapture) {
    Fixture f;
    auto caps = f.send(AutomationCommand::capabilities(), "R", "OLD");
    EXPECT_FALSE(caps.isFailure());
    EXPECT_FALSE(f.send(AutomationCommand::displays(), "R", "OLD").isFailure());
    EXPECT_FALSE(f.send(statusOf(), "R", "OLD").isFailure());
    // A first request carries no instance at all.
    EXPECT_FALSE(f.send(startOf(display("1")), "R", std::nullopt).isFailure());
}

TEST(Handler, CapabilitiesReportTheConditionsEvenWithAutomationOffWithFakeCapture) {
    Fixture f;
    f.settings.automationEnabled = false;
    f.settings.simulate.screenRecordingPermission = false;
    const auto caps = as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload;
    EXPECT_FALSE(caps.automationEnabled);
    EXPECT_EQ(caps.captureReadiness, "permission_required");
    EXPECT_EQ(caps.appName, "Lumora");
    EXPECT_EQ(caps.bundleIdentifier, "app.lumora.Lumora");
    EXPECT_EQ(caps.maximumDurationSeconds, 3600);
    EXPECT_EQ(caps.supportedSources, std::vector<recorder::SourceKind>{recorder::SourceKind::display});
    EXPECT_EQ(caps.video.codec, "h264");
    EXPECT_EQ(caps.video.container, "mp4");
    EXPECT_EQ(caps.video.maximumWidth, 1920);
    EXPECT_EQ(caps.video.maximumHeight, 1080);
    EXPECT_EQ(caps.video.maximumFramesPerSecond, 30);
    EXPECT_FALSE(caps.activeSession.has_value());

    f.settings = Settings{};
    f.settings.outputFolder = (f.home.path() / "R").string();
    f.settings.simulate.setupComplete = false;
    EXPECT_EQ(as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload.captureReadiness,
              "setup_required");
    f.settings.simulate.setupComplete = true;
    EXPECT_EQ(as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload.captureReadiness,
              "ready");
}

TEST(Handler, DisplaysListTheDefaultFirstWithPointSizesWithFakeCapture) {
    Fixture f;
    const auto list = as<AutomationReply::Displays>(f.send(AutomationCommand::displays())).payload.displays;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].isDefault);
    EXPECT_FALSE(list[1].isDefault);
    EXPECT_EQ(list[1].pixelWidth, 2560);
    EXPECT_EQ(list[1].pointWidth, 1280.0);
    EXPECT_EQ(list[1].scale, 2.0);
}

// --- Session lifecycle -----------------------------------------------------------------------

TEST(Handler, StartAnswersAReceiptAtOnceAndStatusSaysRecordingOnlyOnceCaptureRunsWithFakeCapture) {
    Fixture f;
    const auto receipt = as<AutomationReply::Started>(f.send(startOf(display("2")))).payload;
    EXPECT_EQ(receipt.state, AutomationSessionState::preparing);
    EXPECT_EQ(receipt.durationLimitSeconds, 3600);  // no duration asked: the app's limit
    EXPECT_EQ(receipt.expectedWidth, 1920);         // 2560x1440 fitted into 1920x1080
    EXPECT_EQ(receipt.expectedHeight, 1080);
    EXPECT_EQ(receipt.sourceName, "Fake Retina");
    EXPECT_EQ(receipt.source.id, "2");
    const auto id = receipt.sessionID;
    EXPECT_EQ(id.size(), 36u);

    auto status = as<AutomationReply::Status>(f.send(statusOf(id))).payload;
    ASSERT_TRUE(status.session);
    EXPECT_EQ(status.session->state, AutomationSessionState::preparing);
    EXPECT_FALSE(status.session->elapsedSeconds.has_value());
    EXPECT_EQ(status.captureReadiness, "busy");

    f.backend->last()->beginRecording();
    std::this_thread::sleep_for(30ms);
    status = as<AutomationReply::Status>(f.send(statusOf(id))).payload;
    EXPECT_EQ(status.session->state, AutomationSessionState::recording);
    EXPECT_EQ(status.session->origin, "automation");
    EXPECT_GT(*status.session->elapsedSeconds, 0.0);
    // Without a session: the recording in progress.
    auto any = as<AutomationReply::Status>(f.send(statusOf())).payload;
    ASSERT_TRUE(any.session);
    EXPECT_EQ(any.session->sessionID, id);
    const auto caps = as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload;
    ASSERT_TRUE(caps.activeSession);
    EXPECT_EQ(caps.activeSession->automationSessionID, id);
    EXPECT_EQ(caps.activeSession->state, AutomationSessionState::recording);
}

TEST(Handler, StopBeginsSavingIsHarmlessWhenRepeatedAndResultCarriesTheRecordingWithFakeCapture) {
    Fixture f;
    const auto id = f.startSession();
    auto capture = f.backend->last();
    capture->beginRecording();
    EXPECT_EQ(as<AutomationReply::Result>(f.send(resultOf(id))).payload.state, AutomationSessionState::recording);

    auto stopped = as<AutomationReply::Stopped>(f.send(stopOf(id))).payload;
    EXPECT_EQ(stopped, (recorder::StopPayload{id, AutomationSessionState::stopping}));
    EXPECT_EQ(as<AutomationReply::Stopped>(f.send(stopOf(id), "R2")).payload.state, AutomationSessionState::stopping);
    EXPECT_EQ(capture->stopCount(), 1);
    auto pending = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
    EXPECT_EQ(pending.state, AutomationSessionState::stopping);
    EXPECT_FALSE(pending.recording || pending.failure);
    // While it is saved, a new recording waits.
    EXPECT_EQ(failureOf(f.send(startOf(display("1")), "R3")).code, AutomationErrorCode::busy);

    capture->endSaved();
    auto result = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
    EXPECT_EQ(result.state, AutomationSessionState::saved);
    ASSERT_TRUE(result.recording);
    EXPECT_EQ(result.recording->path, capture->request.outputPath.string());
    EXPECT_EQ(result.recording->width, 1280);
    EXPECT_EQ(result.recording->durationSeconds, 1.5);
    EXPECT_EQ(result.recording->bytes, 4096);
    EXPECT_EQ(result.recording->endReason, "stopped");
    EXPECT_TRUE(result.recording->warnings.empty());
    EXPECT_FALSE(result.failure);
    EXPECT_EQ(as<AutomationReply::Stopped>(f.send(stopOf(id), "R4")).payload.state, AutomationSessionState::saved);
    EXPECT_EQ(capture->request.outputPath.parent_path(), f.home.path() / "Recordings");
    // Nothing records any more.
    EXPECT_FALSE(as<AutomationReply::Status>(f.send(statusOf())).payload.session);
    EXPECT_FALSE(f.send(startOf(display("1")), "R5").isFailure());
}

TEST(Handler, ADurationLimitEndIsReportedAsSuchWithFakeCapture) {
    Fixture f;
    const auto id = f.startSession("R1", display("1", 2));
    EXPECT_EQ(f.backend->last()->request.durationLimitSeconds, 2);
    f.backend->last()->beginRecording();
    f.backend->last()->endSaved(CaptureEnd::durationLimit, 2.0);
    auto result = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
    EXPECT_EQ(result.state, AutomationSessionState::saved);
    EXPECT_EQ(result.recording->endReason, "duration_limit");
}

TEST(Handler, AFailedCaptureIsReportedWithItsFailureWithFakeCapture) {
    for (auto code : {AutomationErrorCode::captureFailed, AutomationErrorCode::finalizationFailed}) {
        Fixture f;
        const auto id = f.startSession();
        f.backend->last()->end(CaptureError{code, "ffmpeg went away."}, CaptureEnd::failed);
        auto result = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
        EXPECT_EQ(result.state, AutomationSessionState::failed);
        ASSERT_TRUE(result.failure);
        EXPECT_EQ(result.failure->code, code);
        EXPECT_EQ(result.failure->message, "ffmpeg went away.");
        EXPECT_TRUE(result.failure->hint.has_value());
        EXPECT_FALSE(result.recording);
    }
}

TEST(Handler, ReadyOnlyWhenAStartNeedsNobodysConsentWithFakeCapture) {
    Fixture f;
    auto readiness = [&] {
        return as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload.captureReadiness;
    };
    f.backend->consentNeededFor = {"2"};  // another display's grant is missing: the default one counts
    EXPECT_EQ(readiness(), "ready");
    f.backend->consentNeededFor = {"1"};
    EXPECT_EQ(readiness(), "consent_required");
    EXPECT_EQ(as<AutomationReply::Status>(f.send(statusOf())).payload.captureReadiness, "consent_required");
    // A start is still taken: the desktop asks the user, and the session says how it went.
    const auto id = f.startSession();
    EXPECT_EQ(as<AutomationReply::Status>(f.send(statusOf(id))).payload.session->state,
              AutomationSessionState::preparing);
    f.backend->last()->end(
        CaptureError{AutomationErrorCode::permissionRequired, "The user did not allow it.", "Run the grant."},
        CaptureEnd::failed);
    auto result = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
    EXPECT_EQ(result.state, AutomationSessionState::failed);
    ASSERT_TRUE(result.failure);
    EXPECT_EQ(result.failure->code, AutomationErrorCode::permissionRequired);
    EXPECT_EQ(result.failure->message, "The user did not allow it.");
    EXPECT_EQ(result.failure->hint, "Run the grant.");
}

// Readiness "busy" and the active session come from one look at the recorder: a recording that
// starts or ends meanwhile never gives "busy" without a session, or a session with "ready".
TEST(Handler, ReadinessAndActiveSessionAgreeWhileRecordingsComeAndGoWithFakeCapture) {
    Fixture f;
    std::atomic<bool> done = false;
    std::thread cycling([&] {
        for (int i = 0; i < 400; ++i) {
            f.startSession('C' + std::to_string(i));
            f.backend->last()->beginRecording();
            f.backend->last()->endSaved();
        }
        done = true;
    });
    int disagreements = 0, busy = 0, idle = 0;
    while (!done) {
        const auto capabilities = as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload;
        const bool capabilitiesBusy = capabilities.captureReadiness == "busy";
        disagreements += capabilitiesBusy != capabilities.activeSession.has_value();
        (capabilitiesBusy ? busy : idle) += 1;
        const auto status = as<AutomationReply::Status>(f.send(statusOf())).payload;
        disagreements += (status.captureReadiness == "busy") != status.session.has_value();
    }
    cycling.join();
    EXPECT_EQ(disagreements, 0) << busy << " busy and " << idle << " idle replies";
}

TEST(Handler, StopBeforeCaptureBeganEndsCancelledWithFakeCapture) {
    Fixture f;
    const auto id = f.startSession();
    EXPECT_EQ(as<AutomationReply::Stopped>(f.send(stopOf(id))).payload.state, AutomationSessionState::stopping);
    f.backend->last()->end(CaptureCancelled{}, CaptureEnd::stopRequested);
    auto result = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
    EXPECT_EQ(result.state, AutomationSessionState::cancelled);
    EXPECT_FALSE(result.recording || result.failure);
}

TEST(Handler, ARetriedStartAnswersTheSameSessionWithFakeCapture) {
    Fixture f;
    const auto first = as<AutomationReply::Started>(f.send(startOf(display("1", 30)), "retry")).payload;
    f.backend->last()->beginRecording();
    const auto again = as<AutomationReply::Started>(f.send(startOf(display("1", 30)), "retry")).payload;
    EXPECT_EQ(again.sessionID, first.sessionID);
    EXPECT_EQ(again.state, AutomationSessionState::recording);
    auto expected = first;
    expected.state = AutomationSessionState::recording;
    EXPECT_EQ(again, expected);
    EXPECT_EQ(f.backend->started(), 1u);
}

TEST(Handler, ARecordingStartedByTheUserIsReportedButNotOwnedWithFakeCapture) {
    Fixture f;
    f.recorder->toggleByUser(*f.handler->manualOrder());
    f.backend->last()->beginRecording();
    auto status = as<AutomationReply::Status>(f.send(statusOf())).payload;
    ASSERT_TRUE(status.session);
    EXPECT_EQ(status.session->origin, "manual");
    EXPECT_EQ(status.session->state, AutomationSessionState::recording);
    EXPECT_EQ(status.session->sourceName, "Fake One");
    const auto caps = as<AutomationReply::Capabilities>(f.send(AutomationCommand::capabilities())).payload;
    ASSERT_TRUE(caps.activeSession);
    EXPECT_EQ(caps.activeSession->origin, "manual");
    EXPECT_FALSE(caps.activeSession->automationSessionID.has_value());
    EXPECT_EQ(failureOf(f.send(stopOf(*status.session->sessionID))).code, AutomationErrorCode::sessionNotOwned);
    EXPECT_EQ(f.backend->last()->stopCount(), 0);
    // The user's record button stops it.
    f.recorder->toggleByUser(*f.handler->manualOrder());
    EXPECT_EQ(f.backend->last()->stopCount(), 1);
}

TEST(Handler, TheUserCanStopAnAutomatedRecordingInTheAppWithFakeCapture) {
    Fixture f;
    const auto id = f.startSession();
    f.backend->last()->beginRecording();
    f.recorder->toggleByUser(*f.handler->manualOrder());
    f.backend->last()->endSaved();
    auto result = as<AutomationReply::Result>(f.send(resultOf(id))).payload;
    EXPECT_EQ(result.recording->endReason, "stopped_in_app");
}

// What the recording indicator is told: every state of the recording in progress, in order,
// for manual and automated recordings alike, and nothing for refused starts.
TEST(Handler, TheActivityObserverHearsEveryStateOfEachRecordingWithFakeCapture) {
    Fixture f;
    using S = recorder::AutomationSessionState;
    std::vector<std::pair<std::string, S>> heard;
    f.recorder->setActivityObserver([&](const RecordingSession& s) { heard.emplace_back(s.id, s.state); });
    const auto id = f.startSession();
    f.backend->last()->beginRecording();
    EXPECT_EQ(failureOf(f.send(startOf(display("1")), "R2")).code, AutomationErrorCode::busy);
    f.recorder->stop(id, false);  // the indicator's stop action
    f.backend->last()->endSaved();
    f.recorder->toggleByUser(*f.handler->manualOrder());
    const auto manual = f.recorder->active()->id;
    f.backend->last()->end(CaptureCancelled{}, CaptureEnd::stopRequested);
    EXPECT_EQ(heard, (std::vector<std::pair<std::string, S>>{{id, S::preparing},
                                                             {id, S::recording},
                                                             {id, S::stopping},
                                                             {id, S::saved},
                                                             {manual, S::preparing},
                                                             {manual, S::cancelled}}));
    EXPECT_EQ(as<AutomationReply::Result>(f.send(resultOf(id))).payload.recording->endReason, "stopped_in_app");
}

TEST(Handler, KeepsAtMost256SessionsForgettingTheOldestFinishedWithFakeCapture) {
    Fixture f;
    std::vector<std::string> ids;
    for (int i = 0; i < 257; ++i) {
        ids.push_back(f.startSession('R' + std::to_string(i)));
        f.backend->last()->end(CaptureCancelled{}, CaptureEnd::stopRequested);
    }
    EXPECT_EQ(failureOf(f.send(resultOf(ids[0]))).code, AutomationErrorCode::sessionNotFound);
    EXPECT_FALSE(f.send(resultOf(ids[1])).isFailure());
    EXPECT_FALSE(f.send(resultOf(ids[256])).isFailure());
    // The forgotten session's request identifier may be used again: it starts a new recording.
    const auto reused = f.startSession("R0");
    EXPECT_NE(reused, ids[0]);
}

TEST(SessionStore, RefusesRoomOnlyWhenEverySessionIsLive) {
    SessionStore store(3);
    auto make = [](std::string id, AutomationSessionState state) {
        RecordingSession s;
        s.id = id;
        s.requestID = "req-" + id;
        s.state = state;
        return s;
    };
    for (auto id : {"a", "b", "c"}) {
        ASSERT_TRUE(store.makeRoom());
        store.insert(make(id, AutomationSessionState::recording));
    }
    EXPECT_FALSE(store.makeRoom());
    EXPECT_EQ(store.size(), 3u);
    store.find("b")->state = AutomationSessionState::saved;
    store.find("c")->state = AutomationSessionState::failed;
    EXPECT_TRUE(store.makeRoom());
    EXPECT_EQ(store.find("b"), nullptr);  // the oldest finished one goes first
    EXPECT_EQ(store.findByRequestID("req-b"), nullptr);
    EXPECT_NE(store.find("a"), nullptr);
    EXPECT_NE(store.find("c"), nullptr);
    EXPECT_EQ(store.findByRequestID("req-c")->id, "c");
}

// --- With the real ffmpeg --------------------------------------------------------------------

TEST(Handler, RecordsARealFileWhoseMeasurementsTheResultReports) {
    TemporaryDirectory home;
    auto backend = std::make_shared<SyntheticBackend>(std::vector<VirtualDisplay>{{"s", "Small", 192, 108, 1.0}}, true);
    auto recorder = std::make_shared<Recorder>(backend, 256);
    auto settings = std::make_shared<Settings>();
    settings->outputFolder = "clips";
    LumoraRequestHandler handler(
        {"Lumora", "1.3", "app.lumora.Lumora", instance}, backend, recorder, [&] { return settings; }, home.path());
    auto receipt = as<AutomationReply::Started>(handler.handle(request(startOf(display("s", 2))))).payload;
    EXPECT_EQ(receipt.expectedWidth, 192);
    auto deadline = std::chrono::steady_clock::now() + 15s;
    recorder::ResultPayload result;
    do {
        std::this_thread::sleep_for(100ms);
        result = as<AutomationReply::Result>(handler.handle(request(resultOf(receipt.sessionID)))).payload;
    } while (!recorder::automation_session_state::isFinal(result.state) && std::chrono::steady_clock::now() < deadline);
    ASSERT_EQ(result.state, AutomationSessionState::saved);
    ASSERT_TRUE(result.recording);
    EXPECT_EQ(result.recording->endReason, "duration_limit");
    EXPECT_EQ(std::filesystem::path(result.recording->path).parent_path(), home.path() / "clips");
    auto measured = MediaProbe::measure(result.recording->path);
    ASSERT_TRUE(std::holds_alternative<SavedMedia>(measured));
    const auto& media = std::get<SavedMedia>(measured);
    EXPECT_EQ(result.recording->width, media.width);
    EXPECT_EQ(result.recording->height, 108);
    EXPECT_EQ(result.recording->bytes, media.bytes);
    EXPECT_NEAR(result.recording->durationSeconds, 2.0, 2.0 / 30 + 0.01);
}

}  // namespace
}  // namespace lumora
