#include "vantor/ExitCode.h"

namespace vantor {

ExitCode exitStatus(recorder::AutomationErrorCode code) {
    using enum recorder::AutomationErrorCode;
    switch (code) {
        case automationDisabled:
        case unauthorized:
        case permissionRequired:
        case setupRequired:
            return ExitCode::notReady;
        case unsupportedVersion:
        case invalidRequest:
        case unsupportedSource:
        case unsupportedAudio:
            return ExitCode::usage;
        case busy:
        case sourceUnavailable:
        case destinationUnavailable:
        case sessionNotFound:
        case sessionNotOwned:
        case instanceChanged:
        case idempotencyConflict:
        case capacityExceeded:
            return ExitCode::conflict;
        case captureFailed:
        case finalizationFailed:
            return ExitCode::recordingFailed;
        case timeout:
        case appUnavailable:
            return ExitCode::connectionFailed;
    }
    return ExitCode::connectionFailed;
}

}  // namespace vantor
