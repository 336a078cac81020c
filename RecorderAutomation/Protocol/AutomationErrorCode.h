#pragma once
// The twenty machine-readable codes with which every refusal is told.

#include <array>
#include <optional>
#include <string_view>

#include "RecorderAutomation/Protocol/RawValueEnumeration.h"

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

namespace automation_error_code {

// Every code, in declaration order.
extern const std::array<AutomationErrorCode, 20> allCases;

// The wire text ("session_not_owned").
std::string_view rawValue(AutomationErrorCode code);

// The code for a wire text, matched exactly; nothing for any other text.
std::optional<AutomationErrorCode> fromRawValue(std::string_view text);

}  // namespace automation_error_code

template <>
struct RawValueEnumeration<AutomationErrorCode> {
    static constexpr std::string_view typeName = "error code";
    static std::string_view rawValue(AutomationErrorCode code) { return automation_error_code::rawValue(code); }
    static std::optional<AutomationErrorCode> fromRawValue(std::string_view text) {
        return automation_error_code::fromRawValue(text);
    }
    static std::span<const AutomationErrorCode> allCases() { return automation_error_code::allCases; }
};

}  // namespace recorder
