#include "lumora/LumoraRequestHandler.h"

#include "RecorderAutomation/Protocol/AutomationProtocol.h"
#include "RecorderAutomation/Support/Overloaded.h"
#include "lumora/Refusals.h"

namespace lumora {
namespace {

using recorder::AutomationReply;
using recorder::AutomationSessionState;

constexpr std::size_t longestIdentifier = std::size_t(recorder::AutomationProtocol::maximumIdentifierLength);

bool tooLong(const std::string& text) { return text.size() > longestIdentifier; }

recorder::SessionStatus statusOf(const RecordingSession& s) {
    recorder::SessionStatus status;
    // A recording started by hand is shown with its identifier too, so that a stop attempt gets
    // the precise refusal (session_not_owned) instead of session_not_found.
    status.sessionID = s.id;
    status.origin = std::string(recording_text::origin(s.origin));
    status.state = s.state;
    status.elapsedSeconds = s.elapsedSeconds();
    status.sourceName = s.display.name;
    return status;
}

}  // namespace

LumoraRequestHandler::LumoraRequestHandler(Identity identity, std::shared_ptr<CaptureBackend> backend,
                                           std::shared_ptr<Recorder> recorder, SettingsSource settings,
                                           std::filesystem::path home)
    : identity_(std::move(identity)),
      backend_(std::move(backend)),
      recorder_(std::move(recorder)),
      settings_(std::move(settings)),
      home_(std::move(home)) {}

AutomationReply LumoraRequestHandler::handle(const recorder::AutomationRequest& request) {
    if (request.protocolVersion != recorder::AutomationProtocol::version)
        return AutomationReply::failure(refusals::unsupportedVersion(request.protocolVersion));
    if (tooLong(request.requestID)) return AutomationReply::failure(refusals::identifierTooLong("requestId"));
    if (request.appInstanceID && tooLong(*request.appInstanceID))
        return AutomationReply::failure(refusals::identifierTooLong("appInstanceId"));

    using Command = recorder::AutomationCommand;
    const Command::Value& command = request.command.value();
    // Commands that name something of an app instance (a session, or a display for start) are
    // refused when they come from a client that knew an earlier instance.
    const bool namesInstanceState =
        std::visit(recorder::Overloaded{
                       [](const Command::Status& c) { return c.parameters.sessionID.has_value(); },
                       [](const Command::Start&) { return true; },
                       [](const Command::Stop&) { return true; },
                       [](const Command::Result&) { return true; },
                       [](const Command::Capabilities&) { return false; },
                       [](const Command::Displays&) { return false; },
                   },
                   command);
    if (namesInstanceState && request.appInstanceID && *request.appInstanceID != identity_.appInstanceID)
        return AutomationReply::failure(refusals::instanceChanged());

    // The snapshot is held, not copied: a reload meanwhile leaves this request's settings alone.
    const std::shared_ptr<const Settings> snapshot = settings_();
    const Settings& settings = *snapshot;
    if (!settings.automationEnabled && !std::holds_alternative<Command::Capabilities>(command))
        return AutomationReply::failure(refusals::automationDisabled());

    return std::visit(recorder::Overloaded{
                          [&](const Command::Capabilities&) { return capabilities(settings); },
                          [&](const Command::Displays&) { return displays(); },
                          [&](const Command::Start& c) { return start(request, c.parameters, settings); },
                          [&](const Command::Status& c) { return status(c.parameters, settings); },
                          [&](const Command::Stop& c) { return stop(c.parameters); },
                          [&](const Command::Result& c) { return result(c.parameters); },
                      },
                      command);
}

bool LumoraRequestHandler::systemAudioAvailable(const Settings& settings) const {
    return settings.systemAudioAvailable && backend_->systemAudioSupported();
}

std::string LumoraRequestHandler::captureReadiness(const Settings& settings, bool recording) const {
    if (!settings.simulate.setupComplete) return "setup_required";
    if (!settings.simulate.screenRecordingPermission) return "permission_required";
    const auto displays = backend_->displayList();
    if (displays->empty()) return "no_display";
    if (recording) return "busy";
    // A start would work, but only once the user allows it in the desktop's dialog.
    if (backend_->startNeedsConsent(displays->front())) return "consent_required";
    return "ready";
}

AutomationReply LumoraRequestHandler::capabilities(const Settings& settings) {
    // Read once: the readiness and the active session describe the same moment.
    const auto active = recorder_->active();
    recorder::CapabilitiesPayload payload;
    payload.appName = identity_.appName;
    payload.appVersion = identity_.appVersion;
    payload.bundleIdentifier = identity_.bundleIdentifier;
    payload.automationEnabled = settings.automationEnabled;
    payload.captureReadiness = captureReadiness(settings, active.has_value());
    payload.supportedSources = {recorder::SourceKind::display};
    payload.systemAudioSupported = systemAudioAvailable(settings);
    payload.microphoneSupported = false;
    payload.maximumDurationSeconds = recorder::AutomationProtocol::maximumDurationSeconds;
    payload.video = {"h264", "mp4", maximumOutputWidth, maximumOutputHeight,
                     std::min(maximumFrameRate, settings.frameRate)};
    if (active) {
        recorder::SessionSummary summary;
        summary.state = active->state;
        summary.origin = std::string(recording_text::origin(active->origin));
        if (active->origin == RecordingOrigin::automation) summary.automationSessionID = active->id;
        summary.elapsedSeconds = active->elapsedSeconds();
        payload.activeSession = summary;
    }
    return AutomationReply::capabilities(std::move(payload));
}

AutomationReply LumoraRequestHandler::displays() {
    recorder::DisplaysPayload payload;
    const auto list = backend_->displayList();
    for (const auto& d : *list) {
        recorder::DisplayDescriptor descriptor;
        descriptor.id = d.id;
        descriptor.name = d.name;
        descriptor.pixelWidth = d.pixelWidth;
        descriptor.pixelHeight = d.pixelHeight;
        descriptor.pointWidth = double(d.pixelWidth) / d.scale;
        descriptor.pointHeight = double(d.pixelHeight) / d.scale;
        descriptor.scale = d.scale;
        descriptor.isDefault = d.isDefault;
        payload.displays.push_back(std::move(descriptor));
    }
    return AutomationReply::displays(std::move(payload));
}

AutomationReply LumoraRequestHandler::start(const recorder::AutomationRequest& request,
                                            const recorder::StartParameters& parameters, const Settings& settings) {
    if (request.requestID.empty()) return AutomationReply::failure(refusals::emptyRequestID());
    if (tooLong(parameters.source.id)) return AutomationReply::failure(refusals::identifierTooLong("source id"));
    if (parameters.durationSeconds &&
        (*parameters.durationSeconds < recorder::AutomationProtocol::minimumDurationSeconds ||
         *parameters.durationSeconds > recorder::AutomationProtocol::maximumDurationSeconds))
        return AutomationReply::failure(refusals::durationOutOfRange(*parameters.durationSeconds));
    if (!settings.simulate.setupComplete) return AutomationReply::failure(refusals::setupRequired());
    if (!settings.simulate.screenRecordingPermission) return AutomationReply::failure(refusals::permissionRequired());
    if (parameters.source.kind != recorder::SourceKind::display)
        return AutomationReply::failure(
            refusals::unsupportedSource(std::string(recorder::source_kind::rawValue(parameters.source.kind))));

    std::optional<CaptureDisplay> display;
    const auto list = backend_->displayList();
    for (const auto& d : *list)
        if (d.id == parameters.source.id) display = d;
    if (!display) return AutomationReply::failure(refusals::sourceUnavailable(parameters.source.id));
    if (parameters.systemAudio && !systemAudioAvailable(settings))
        return AutomationReply::failure(refusals::unsupportedAudio());

    Recorder::StartOrder order;
    order.origin = RecordingOrigin::automation;
    order.requestID = request.requestID;
    order.parameters = parameters;
    order.display = *display;
    order.systemAudio = parameters.systemAudio;
    order.durationLimitSeconds = parameters.durationSeconds.value_or(defaultDurationLimitSeconds);
    order.frameRate = settings.frameRate;
    order.outputFolder = settings.resolvedOutputFolder(home_);
    order.failure = settings.simulate.captureFailure;
    auto answer = recorder_->start(order);
    if (auto* failure = std::get_if<recorder::AutomationFailure>(&answer)) return AutomationReply::failure(*failure);

    const auto& session = std::get<RecordingSession>(answer);
    recorder::SessionReceipt receipt;
    receipt.sessionID = session.id;
    receipt.state = session.state;
    receipt.source = session.parameters.source;
    receipt.sourceName = session.display.name;
    receipt.systemAudio = session.systemAudio;
    receipt.durationLimitSeconds = session.durationLimitSeconds;
    receipt.expectedWidth = session.expectedSize.width;
    receipt.expectedHeight = session.expectedSize.height;
    return AutomationReply::started(std::move(receipt));
}

std::optional<Recorder::StartOrder> LumoraRequestHandler::manualOrder() const {
    const auto settings = settings_();
    const auto displays = backend_->displayList();
    if (displays->empty()) return std::nullopt;
    Recorder::StartOrder order;
    order.origin = RecordingOrigin::manual;
    order.display = displays->front();
    order.durationLimitSeconds = defaultDurationLimitSeconds;
    order.frameRate = settings->frameRate;
    order.outputFolder = settings->resolvedOutputFolder(home_);
    order.failure = settings->simulate.captureFailure;
    return order;
}

AutomationReply LumoraRequestHandler::status(const recorder::StatusParameters& parameters, const Settings& settings) {
    // Read once: the readiness and the active session describe the same moment.
    const auto active = recorder_->active();
    recorder::StatusPayload payload;
    payload.automationEnabled = settings.automationEnabled;
    payload.captureReadiness = captureReadiness(settings, active.has_value());
    if (parameters.sessionID) {
        if (tooLong(*parameters.sessionID)) return AutomationReply::failure(refusals::identifierTooLong("sessionId"));
        auto session = recorder_->session(*parameters.sessionID);
        if (!session) return AutomationReply::failure(refusals::sessionNotFound(*parameters.sessionID));
        payload.session = statusOf(*session);
    } else if (active) {
        payload.session = statusOf(*active);
    }
    return AutomationReply::status(std::move(payload));
}

AutomationReply LumoraRequestHandler::stop(const recorder::SessionParameters& parameters) {
    if (tooLong(parameters.sessionID)) return AutomationReply::failure(refusals::identifierTooLong("sessionId"));
    auto answer = recorder_->stop(parameters.sessionID, true);
    if (auto* failure = std::get_if<recorder::AutomationFailure>(&answer)) return AutomationReply::failure(*failure);
    const auto& session = std::get<RecordingSession>(answer);
    return AutomationReply::stopped({session.id, session.state});
}

AutomationReply LumoraRequestHandler::result(const recorder::SessionParameters& parameters) {
    if (tooLong(parameters.sessionID)) return AutomationReply::failure(refusals::identifierTooLong("sessionId"));
    auto session = recorder_->session(parameters.sessionID);
    if (!session) return AutomationReply::failure(refusals::sessionNotFound(parameters.sessionID));
    if (session->origin == RecordingOrigin::manual) return AutomationReply::failure(refusals::sessionNotOwned());
    recorder::ResultPayload payload;
    payload.sessionID = session->id;
    payload.state = session->state;
    if (session->state == AutomationSessionState::saved && session->saved) {
        recorder::SavedRecordingPayload saved;
        saved.path = session->saved->path.string();
        saved.durationSeconds = session->saved->durationSeconds;
        saved.width = session->saved->width;
        saved.height = session->saved->height;
        saved.bytes = session->saved->bytes;
        saved.endReason = session->endReason;
        saved.warnings = session->warnings;
        payload.recording = std::move(saved);
    }
    if (session->state == AutomationSessionState::failed) payload.failure = session->failure;
    return AutomationReply::result(std::move(payload));
}

}  // namespace lumora
