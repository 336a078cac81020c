#pragma once
// vantor's outcomes and the process exit status of each. There is no status 1.

#include "RecorderAutomation/Protocol/AutomationErrorCode.h"

namespace vantor {

enum class ExitCode : int {
    ok = 0,
    usage = 2,
    notReady = 3,
    conflict = 4,
    recordingFailed = 5,
    connectionFailed = 6,
};

constexpr int processStatus(ExitCode code) { return static_cast<int>(code); }

// The outcome for a failure Lumora reports, alike for rejected replies and failed recordings.
ExitCode exitStatus(recorder::AutomationErrorCode code);

}  // namespace vantor
