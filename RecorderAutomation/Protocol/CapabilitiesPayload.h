#pragma once
// The result of capabilities: what the app is and what it can record now.

#include "RecorderAutomation/Protocol/SessionSummary.h"
#include "RecorderAutomation/Protocol/SourceKind.h"
#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct CapabilitiesPayload {
    // The output video format; widths and heights in pixels.
    struct VideoCapabilities {
        std::string codec{}, container{};
        std::int64_t maximumWidth = 0, maximumHeight = 0, maximumFramesPerSecond = 0;

        static constexpr auto wireFields() {
            using V = VideoCapabilities;
            return wire::fields(wire::required("codec", &V::codec), wire::required("container", &V::container),
                                wire::required("maximumWidth", &V::maximumWidth),
                                wire::required("maximumHeight", &V::maximumHeight),
                                wire::required("maximumFramesPerSecond", &V::maximumFramesPerSecond));
        }
        RECORDER_WIRE_CODING(VideoCapabilities)
        bool operator==(const VideoCapabilities&) const = default;
    };

    std::string appName{};
    std::string appVersion{};
    std::string bundleIdentifier{};
    bool automationEnabled = false;
    // "ready" when a recording can start; other words are the app's.
    std::string captureReadiness{};
    std::vector<SourceKind> supportedSources{};
    bool systemAudioSupported = false;
    bool microphoneSupported = false;
    std::int64_t maximumDurationSeconds = 0;
    VideoCapabilities video{};
    std::optional<SessionSummary> activeSession{};

    static constexpr auto wireFields() {
        using C = CapabilitiesPayload;
        return wire::fields(wire::required("appName", &C::appName), wire::required("appVersion", &C::appVersion),
                            wire::required("bundleIdentifier", &C::bundleIdentifier),
                            wire::required("automationEnabled", &C::automationEnabled),
                            wire::required("captureReadiness", &C::captureReadiness),
                            wire::required("supportedSources", &C::supportedSources),
                            wire::required("systemAudioSupported", &C::systemAudioSupported),
                            wire::required("microphoneSupported", &C::microphoneSupported),
                            wire::required("maximumDurationSeconds", &C::maximumDurationSeconds),
                            wire::required("video", &C::video), wire::optional("activeSession", &C::activeSession));
    }
    RECORDER_WIRE_CODING(CapabilitiesPayload)
    bool operator==(const CapabilitiesPayload&) const = default;
};

}  // namespace recorder
