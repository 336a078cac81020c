#pragma once
// Lumora's answers to automation requests: it enforces the protocol's limits and the app's
// conditions, then hands recordings to the Recorder and reports its sessions.

#include <functional>
#include <memory>
#include <string>

#include "RecorderAutomation/Protocol/AutomationReply.h"
#include "RecorderAutomation/Protocol/AutomationRequest.h"
#include "RecorderAutomation/Server/AutomationRequestHandling.h"
#include "lumora/CaptureBackend.h"
#include "lumora/Recorder.h"
#include "lumora/Settings.h"

namespace lumora {

class LumoraRequestHandler : public recorder::AutomationRequestHandling {
public:
    struct Identity {
        std::string appName = "Lumora";
        std::string appVersion;
        std::string bundleIdentifier;
        std::string appInstanceID;
    };

    // The settings in force at the time of a request; they may be replaced while the app runs.
    using SettingsSource = std::function<std::shared_ptr<const Settings>()>;

    // `settings` gives the settings in force at the time of each request; `home` resolves the
    // output folder.
    LumoraRequestHandler(Identity identity, std::shared_ptr<CaptureBackend> backend, std::shared_ptr<Recorder> recorder,
                         SettingsSource settings, std::filesystem::path home);

    recorder::AutomationReply handle(const recorder::AutomationRequest& request) override;

    // The default limit when a start request names no duration.
    static constexpr std::int64_t defaultDurationLimitSeconds = 3600;

    // The order for a recording the user starts in the app, on the default display.
    std::optional<Recorder::StartOrder> manualOrder() const;

    const Identity& identity() const { return identity_; }

private:
    recorder::AutomationReply capabilities(const Settings& settings);
    recorder::AutomationReply displays();
    recorder::AutomationReply start(const recorder::AutomationRequest& request,
                                    const recorder::StartParameters& parameters, const Settings& settings);
    recorder::AutomationReply status(const recorder::StatusParameters& parameters, const Settings& settings);
    recorder::AutomationReply stop(const recorder::SessionParameters& parameters);
    recorder::AutomationReply result(const recorder::SessionParameters& parameters);

    std::string captureReadiness(const Settings& settings, bool recording) const;
    bool systemAudioAvailable(const Settings& settings) const;

    Identity identity_;
    std::shared_ptr<CaptureBackend> backend_;
    std::shared_ptr<Recorder> recorder_;
    SettingsSource settings_;
    std::filesystem::path home_;
};

}  // namespace lumora
