#include "lumora/Refusals.h"

#include <cstdio>

#include "RecorderAutomation/Protocol/AutomationProtocol.h"

namespace lumora::refusals {

using Code = recorder::AutomationErrorCode;

namespace {
std::string quoted(const std::string& text) { return "\"" + text + "\""; }
}  // namespace

AutomationFailure unsupportedVersion(std::int64_t received) {
    return {Code::unsupportedVersion,
            "Lumora speaks automation protocol version " + std::to_string(recorder::AutomationProtocol::version) +
                "; the request used version " + std::to_string(received) + ".",
            "Use a vantor or Quillon from the same Lumora release as the app."};
}

AutomationFailure instanceChanged() {
    return {Code::instanceChanged,
            "Lumora has restarted since this client last talked to it; sessions and display IDs from before the "
            "restart are no longer valid.",
            "Call capabilities again to learn the new app instance, then list the displays and start anew."};
}

AutomationFailure identifierTooLong(const std::string& what) {
    return {Code::invalidRequest, "The " + what + " is longer than 128 characters.",
            "Use the identifiers that Lumora returns; every identifier has at most 128 characters."};
}

AutomationFailure emptyRequestID() {
    return {Code::invalidRequest, "A start request needs a non-empty requestId.",
            "Send a fresh unique requestId with every start request."};
}

AutomationFailure durationOutOfRange(std::int64_t requested) {
    return {Code::invalidRequest,
            "durationSeconds must be from 1 to 3600; the request asked for " + std::to_string(requested) + ".",
            "Ask for 1 to 3600 seconds, or leave durationSeconds out for Lumora's limit of 3600 seconds."};
}

AutomationFailure automationDisabled() {
    return {Code::automationDisabled, "Local automation is turned off in Lumora's settings.",
            "Ask the user to turn on \"Allow local automation\" in Lumora settings (\"automationEnabled\" in "
            "settings.json), then try again."};
}

AutomationFailure setupRequired() {
    return {Code::setupRequired, "Lumora's first-run setup has not been completed.",
            "Ask the user to open Lumora and finish the first-run setup, then try again."};
}

AutomationFailure permissionRequired() {
    return {Code::permissionRequired, "Lumora does not have permission to record the screen.",
            "Ask the user to allow screen recording for Lumora in the system settings, then try again."};
}

AutomationFailure unsupportedSource(const std::string& kind) {
    return {Code::unsupportedSource, "Lumora records whole displays only; a " + kind + " cannot be recorded.",
            "Call displays and start a recording whose source has the kind display."};
}

AutomationFailure sourceUnavailable(const std::string& displayID) {
    return {Code::sourceUnavailable, "No display with the ID " + quoted(displayID) + " is connected.",
            "Call displays for the current display IDs; an ID is valid until its display is disconnected or "
            "Lumora restarts."};
}

AutomationFailure unsupportedAudio() {
    return {Code::unsupportedAudio, "System audio cannot be recorded with Lumora's current capture set-up.",
            "Start the recording without systemAudio."};
}

AutomationFailure busyRecording(bool manual) {
    return {Code::busy,
            manual ? "The user is recording in Lumora right now; Lumora makes one recording at a time."
                   : "Another automated recording is in progress; Lumora makes one recording at a time.",
            manual ? "Wait until the user has stopped the recording in Lumora, then try again."
                   : "Stop that session (or wait for its duration limit) and fetch its result, then try again."};
}

AutomationFailure busySaving() {
    return {Code::busy, "Lumora is still saving the previous recording.",
            "Wait a moment until its result is saved, then try again."};
}

AutomationFailure destinationUnavailable(const std::string& folder, const std::string& reason) {
    return {Code::destinationUnavailable, "Recordings cannot be saved to " + folder + ": " + reason + ".",
            "Ask the user to choose a writable folder for recordings in Lumora settings (\"outputFolder\" in "
            "settings.json)."};
}

AutomationFailure destinationFull(const std::string& folder, std::uintmax_t availableBytes,
                                  std::uintmax_t neededBytes) {
    auto megabytes = [](std::uintmax_t bytes) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1024.0 * 1024.0));
        return std::string(text);
    };
    return {Code::destinationUnavailable,
            "Recordings cannot be saved to " + folder + ": its disk has only " + megabytes(availableBytes) +
                " free, less than the " + megabytes(neededBytes) + " that even a short recording needs.",
            "Ask the user to free space on that disk or to choose another folder for recordings (\"outputFolder\" in "
            "settings.json), then try again."};
}

AutomationFailure capacityExceeded(std::size_t capacity) {
    return {Code::capacityExceeded,
            "Lumora already keeps " + std::to_string(capacity) + " sessions, and none of them has finished.",
            "Stop sessions that are no longer needed, then try again."};
}

AutomationFailure idempotencyConflict(const std::string& requestID) {
    return {Code::idempotencyConflict,
            "The requestId " + quoted(requestID) + " was already used for a start request with other parameters.",
            "Use a fresh requestId for a new recording; repeat a requestId only to retry the very same start "
            "request."};
}

AutomationFailure sessionNotFound(const std::string& sessionID) {
    return {Code::sessionNotFound, "Lumora knows no session with the ID " + quoted(sessionID) + ".",
            "Use the sessionId of a start receipt from this Lumora instance; sessions are forgotten when Lumora "
            "quits, and the oldest finished ones once 256 are kept."};
}

AutomationFailure sessionNotOwned() {
    return {Code::sessionNotOwned,
            "This recording was started by the user in Lumora, not through automation, so it cannot be controlled "
            "from here.",
            "Ask the user to stop the recording in Lumora."};
}

}  // namespace lumora::refusals
