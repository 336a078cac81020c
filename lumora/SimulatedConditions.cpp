#include "lumora/SimulatedConditions.h"

#include "RecorderAutomation/Protocol/WireEnumeration.h"

namespace lumora {

// The texts of the settings file and the command line, in declaration order.
static constexpr auto wireTexts(CaptureFailureMode) {
    using enum CaptureFailureMode;
    return recorder::wireTable<CaptureFailureMode>(
        "capture failure mode", {{none, "none"}, {start, "start"}, {during, "during"}, {finalize, "finalize"}});
}

namespace capture_failure_mode {

std::string_view rawValue(CaptureFailureMode mode) {
    return recorder::WireEnumeration<CaptureFailureMode>::rawValue(mode);
}

std::optional<CaptureFailureMode> fromRawValue(std::string_view text) {
    return recorder::WireEnumeration<CaptureFailureMode>::fromRawValue(text);
}

}  // namespace capture_failure_mode
}  // namespace lumora
