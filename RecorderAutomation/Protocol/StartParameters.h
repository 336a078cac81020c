#pragma once
// The parameters of a start request; the one strict object of the protocol.

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "RecorderAutomation/Protocol/DecodingError.h"
#include "RecorderAutomation/Protocol/SourceReference.h"

namespace recorder {

struct StartParameters {
    SourceReference source{};
    // Automatic stop after this many seconds of capture; absent leaves the app's own limit.
    std::optional<std::int64_t> durationSeconds{};
    bool systemAudio = false;

    // Writes "systemAudio" always, "durationSeconds" only when present.
    nlohmann::json toJSON() const;
    // Refuses any key other than "source", "durationSeconds" and "systemAudio"; absent
    // "systemAudio" reads as false. No range check on the duration.
    static StartParameters fromJSON(const nlohmann::json& value, const CodingPath& path = {});
    bool operator==(const StartParameters&) const = default;
};

}  // namespace recorder
