#pragma once
// The result of start: the new automated session. Capture is confirmed only once status reports recording.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/SourceReference.h"

namespace recorder {

struct SessionReceipt {
    std::string sessionID{};
    AutomationSessionState state = AutomationSessionState::preparing;
    SourceReference source{};
    std::string sourceName{};
    bool systemAudio = false;
    // When the recording stops by itself, in seconds of capture.
    std::int64_t durationLimitSeconds = 0;
    std::int64_t expectedWidth = 0;
    std::int64_t expectedHeight = 0;

    nlohmann::json toJSON() const;
    static SessionReceipt fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const SessionReceipt&) const = default;
};

}  // namespace recorder
