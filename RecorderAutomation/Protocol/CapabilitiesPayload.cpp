#include "RecorderAutomation/Protocol/CapabilitiesPayload.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json CapabilitiesPayload::VideoCapabilities::toJSON() const {
    return JSONObjectWriter()
        .put("codec", codec)
        .put("container", container)
        .put("maximumWidth", maximumWidth)
        .put("maximumHeight", maximumHeight)
        .put("maximumFramesPerSecond", maximumFramesPerSecond)
        .take();
}

CapabilitiesPayload::VideoCapabilities CapabilitiesPayload::VideoCapabilities::fromJSON(const nlohmann::json& value,
                                                                                        const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    VideoCapabilities decoded;
    decoded.codec = reader.required<std::string>("codec");
    decoded.container = reader.required<std::string>("container");
    decoded.maximumWidth = reader.required<std::int64_t>("maximumWidth");
    decoded.maximumHeight = reader.required<std::int64_t>("maximumHeight");
    decoded.maximumFramesPerSecond = reader.required<std::int64_t>("maximumFramesPerSecond");
    return decoded;
}

nlohmann::json CapabilitiesPayload::toJSON() const {
    return JSONObjectWriter()
        .put("appName", appName)
        .put("appVersion", appVersion)
        .put("bundleIdentifier", bundleIdentifier)
        .put("automationEnabled", automationEnabled)
        .put("captureReadiness", captureReadiness)
        .put("supportedSources", supportedSources)
        .put("systemAudioSupported", systemAudioSupported)
        .put("microphoneSupported", microphoneSupported)
        .put("maximumDurationSeconds", maximumDurationSeconds)
        .put("video", video)
        .put("activeSession", activeSession)
        .take();
}

CapabilitiesPayload CapabilitiesPayload::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    CapabilitiesPayload decoded;
    decoded.appName = reader.required<std::string>("appName");
    decoded.appVersion = reader.required<std::string>("appVersion");
    decoded.bundleIdentifier = reader.required<std::string>("bundleIdentifier");
    decoded.automationEnabled = reader.required<bool>("automationEnabled");
    decoded.captureReadiness = reader.required<std::string>("captureReadiness");
    decoded.supportedSources = reader.required<std::vector<SourceKind>>("supportedSources");
    decoded.systemAudioSupported = reader.required<bool>("systemAudioSupported");
    decoded.microphoneSupported = reader.required<bool>("microphoneSupported");
    decoded.maximumDurationSeconds = reader.required<std::int64_t>("maximumDurationSeconds");
    decoded.video = reader.required<VideoCapabilities>("video");
    decoded.activeSession = reader.optional<SessionSummary>("activeSession");
    return decoded;
}

}  // namespace recorder
