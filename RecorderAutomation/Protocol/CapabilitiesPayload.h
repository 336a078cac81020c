#pragma once
// The result of capabilities: what the app is and what it can record now.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/SessionSummary.h"
#include "RecorderAutomation/Protocol/SourceKind.h"

namespace recorder {

struct CapabilitiesPayload {
    // The output video format; widths and heights in pixels.
    struct VideoCapabilities {
        std::string codec{};
        std::string container{};
        std::int64_t maximumWidth = 0;
        std::int64_t maximumHeight = 0;
        std::int64_t maximumFramesPerSecond = 0;

        nlohmann::json toJSON() const;
        static VideoCapabilities fromJSON(const nlohmann::json& value, const CodingPath& path = {});
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

    nlohmann::json toJSON() const;
    static CapabilitiesPayload fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const CapabilitiesPayload&) const = default;
};

}  // namespace recorder
