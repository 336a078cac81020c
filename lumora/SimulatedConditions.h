#pragma once
// The situations of a real recorder that the reference app can pretend to be in, so that every
// refusal and failure of the automation surface can be produced on purpose.

#include <optional>
#include <string>
#include <string_view>

namespace lumora {

// How a capture is made to fail, for trying out the failure paths.
enum class CaptureFailureMode {
    none,
    start,     // the capture process cannot open its source and exits at once
    during,    // the capture process dies shortly after recording has begun
    finalize,  // the capture process dies while the file is being finalised
};

namespace capture_failure_mode {
std::string_view rawValue(CaptureFailureMode mode);
std::optional<CaptureFailureMode> fromRawValue(std::string_view text);
}  // namespace capture_failure_mode

struct SimulatedConditions {
    bool screenRecordingPermission = true;
    bool setupComplete = true;
    CaptureFailureMode captureFailure = CaptureFailureMode::none;

    bool operator==(const SimulatedConditions&) const = default;
};

}  // namespace lumora
