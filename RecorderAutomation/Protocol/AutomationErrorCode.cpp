#include "RecorderAutomation/Protocol/AutomationErrorCode.h"

#include <utility>

namespace recorder::automation_error_code {

namespace {
using C = AutomationErrorCode;
// One table, read both ways.
constexpr std::array<std::pair<C, std::string_view>, 20> table{{
    {C::automationDisabled, "automation_disabled"},
    {C::unauthorized, "unauthorized"},
    {C::unsupportedVersion, "unsupported_version"},
    {C::invalidRequest, "invalid_request"},
    {C::unsupportedSource, "unsupported_source"},
    {C::unsupportedAudio, "unsupported_audio"},
    {C::permissionRequired, "permission_required"},
    {C::setupRequired, "setup_required"},
    {C::busy, "busy"},
    {C::sourceUnavailable, "source_unavailable"},
    {C::destinationUnavailable, "destination_unavailable"},
    {C::sessionNotFound, "session_not_found"},
    {C::sessionNotOwned, "session_not_owned"},
    {C::instanceChanged, "instance_changed"},
    {C::idempotencyConflict, "idempotency_conflict"},
    {C::capacityExceeded, "capacity_exceeded"},
    {C::captureFailed, "capture_failed"},
    {C::finalizationFailed, "finalization_failed"},
    {C::timeout, "timeout"},
    {C::appUnavailable, "app_unavailable"},
}};

constexpr std::array<AutomationErrorCode, 20> makeAll() {
    std::array<AutomationErrorCode, 20> out{};
    for (std::size_t i = 0; i < table.size(); ++i) out[i] = table[i].first;
    return out;
}
}  // namespace

const std::array<AutomationErrorCode, 20> allCases = makeAll();

std::string_view rawValue(AutomationErrorCode code) {
    return table[static_cast<std::size_t>(code)].second;
}

std::optional<AutomationErrorCode> fromRawValue(std::string_view text) {
    for (const auto& [code, raw] : table)
        if (raw == text) return code;
    return std::nullopt;
}

}  // namespace recorder::automation_error_code
