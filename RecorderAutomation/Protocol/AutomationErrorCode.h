#pragma once
// The twenty machine-readable codes with which every refusal is told.

#include "RecorderAutomation/Protocol/WireEnumeration.h"

namespace recorder {

enum class AutomationErrorCode {
    automationDisabled,
    unauthorized,
    unsupportedVersion,
    invalidRequest,
    unsupportedSource,
    unsupportedAudio,
    permissionRequired,
    setupRequired,
    busy,
    sourceUnavailable,
    destinationUnavailable,
    sessionNotFound,
    sessionNotOwned,
    instanceChanged,
    idempotencyConflict,
    capacityExceeded,
    captureFailed,
    finalizationFailed,
    timeout,
    appUnavailable,
};

constexpr auto wireTexts(AutomationErrorCode) {
    using enum AutomationErrorCode;
    return wireTable<AutomationErrorCode>("error code", {{automationDisabled, "automation_disabled"},
                                                         {unauthorized, "unauthorized"},
                                                         {unsupportedVersion, "unsupported_version"},
                                                         {invalidRequest, "invalid_request"},
                                                         {unsupportedSource, "unsupported_source"},
                                                         {unsupportedAudio, "unsupported_audio"},
                                                         {permissionRequired, "permission_required"},
                                                         {setupRequired, "setup_required"},
                                                         {busy, "busy"},
                                                         {sourceUnavailable, "source_unavailable"},
                                                         {destinationUnavailable, "destination_unavailable"},
                                                         {sessionNotFound, "session_not_found"},
                                                         {sessionNotOwned, "session_not_owned"},
                                                         {instanceChanged, "instance_changed"},
                                                         {idempotencyConflict, "idempotency_conflict"},
                                                         {capacityExceeded, "capacity_exceeded"},
                                                         {captureFailed, "capture_failed"},
                                                         {finalizationFailed, "finalization_failed"},
                                                         {timeout, "timeout"},
                                                         {appUnavailable, "app_unavailable"}});
}
using automation_error_code = WireEnumeration<AutomationErrorCode>;

}  // namespace recorder
