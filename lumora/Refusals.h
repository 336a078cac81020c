#pragma once
// Every refusal Lumora answers with, in one place: the code, a sentence for people, and a hint
// that says what to do next.

#include <cstdint>
#include <string>

#include "RecorderAutomation/Protocol/AutomationFailure.h"

namespace lumora::refusals {

using recorder::AutomationFailure;

AutomationFailure unsupportedVersion(std::int64_t received);
AutomationFailure instanceChanged();
AutomationFailure identifierTooLong(const std::string& what);
AutomationFailure emptyRequestID();
AutomationFailure durationOutOfRange(std::int64_t requested);
AutomationFailure automationDisabled();
AutomationFailure setupRequired();
AutomationFailure permissionRequired();
AutomationFailure unsupportedSource(const std::string& kind);
AutomationFailure sourceUnavailable(const std::string& displayID);
AutomationFailure unsupportedAudio();
AutomationFailure busyRecording(bool manual);
AutomationFailure busySaving();
AutomationFailure destinationUnavailable(const std::string& folder, const std::string& reason);
AutomationFailure destinationFull(const std::string& folder, std::uintmax_t availableBytes, std::uintmax_t neededBytes);
AutomationFailure capacityExceeded(std::size_t capacity);
AutomationFailure idempotencyConflict(const std::string& requestID);
AutomationFailure sessionNotFound(const std::string& sessionID);
AutomationFailure sessionNotOwned();

}  // namespace lumora::refusals
