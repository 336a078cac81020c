#pragma once
// A recording saved to disk.

#include "RecorderAutomation/Protocol/WireObject.h"

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

    static constexpr auto wireFields() {
        using S = SavedRecordingPayload;
        return wire::fields(wire::required("path", &S::path), wire::required("durationSeconds", &S::durationSeconds),
                            wire::required("width", &S::width), wire::required("height", &S::height),
                            wire::required("bytes", &S::bytes), wire::optional("endReason", &S::endReason),
                            wire::required("warnings", &S::warnings));
    }
    RECORDER_WIRE_CODING(SavedRecordingPayload)
    bool operator==(const SavedRecordingPayload&) const = default;
};

}  // namespace recorder
