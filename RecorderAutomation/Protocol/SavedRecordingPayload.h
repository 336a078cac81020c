#pragma once
// A recording saved to disk.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"

namespace recorder {

struct SavedRecordingPayload {
    // Local file path.
    std::string path{};
    double durationSeconds = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    // File size.
    std::int64_t bytes = 0;
    // Why the recording ended; the app's own words.
    std::optional<std::string> endReason{};
    // Required on the wire, possibly empty.
    std::vector<std::string> warnings{};

    nlohmann::json toJSON() const;
    static SavedRecordingPayload fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const SavedRecordingPayload&) const = default;
};

}  // namespace recorder
