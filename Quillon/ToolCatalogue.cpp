#include "Quillon/ToolCatalogue.h"

#include "Quillon/RecorderBridge.h"
#include "RecorderAutomation/Protocol/AutomationSessionState.h"
#include "RecorderAutomation/Protocol/DisplaysPayload.h"
#include "RecorderAutomation/Protocol/StartParameters.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

namespace quillon::ToolCatalogue {
namespace {

using mcp::JSON;
using recorder::AutomationErrorCode;
using recorder::AutomationFailure;

JSON schema(JSON properties, std::optional<JSON> required = std::nullopt) {
    JSON::Object members{{"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
    if (required) members.emplace("required", std::move(*required));
    return JSON(std::move(members));
}

JSON readOnly(const char* title) {
    return JSON::object({{"title", title}, {"readOnlyHint", true}, {"openWorldHint", false}});
}

JSON changesState(const char* title, bool idempotent) {
    return JSON::object({{"title", title},
                         {"readOnlyHint", false},
                         {"destructiveHint", false},
                         {"idempotentHint", idempotent},
                         {"openWorldHint", false}});
}

// displayId and sessionId: a string as is, an integer as its decimal text, else absent.
std::optional<std::string> identifier(const JSON& arguments, const char* name) {
    auto value = arguments[name];
    if (value && (value->isString() || value->isInt())) return value->stringValue();
    return std::nullopt;
}

AutomationFailure missing(const char* name) {
    return {AutomationErrorCode::invalidRequest, std::string(name) + " is required."};
}

Outcome capabilities(const Call& call) { return call.session.capabilities().toJSON(); }

Outcome listDisplays(const Call& call) { return recorder::DisplaysPayload{call.session.displays()}.toJSON(); }

Outcome startRecording(const Call& call) {
    auto displayID = identifier(call.arguments, "displayId");
    if (!displayID || displayID->empty()) return missing("displayId");
    recorder::StartParameters parameters;
    parameters.source = recorder::SourceReference{recorder::SourceKind::display, *displayID};
    if (auto duration = call.arguments["durationSeconds"]) parameters.durationSeconds = duration->intValue();
    if (auto audio = call.arguments["systemAudio"]) parameters.systemAudio = audio->boolValue().value_or(false);
    return call.session.start(parameters).toJSON();
}

Outcome recordingStatus(const Call& call) {
    return call.session.status(identifier(call.arguments, "sessionId")).toJSON();
}

Outcome stopRecording(const Call& call) {
    auto session = identifier(call.arguments, "sessionId");
    if (!session) return missing("sessionId");
    return call.session.stop(*session).toJSON();
}

Outcome recordingResult(const Call& call) {
    auto session = identifier(call.arguments, "sessionId");
    if (!session) return missing("sessionId");
    auto seconds = call.arguments["waitSeconds"];
    auto wait = seconds ? RecorderBridge::resultWait(*seconds) : std::nullopt;
    if (!wait) return call.session.result(*session).toJSON();
    std::function<void(const recorder::ResultPayload&)> pending;
    if (call.progress)
        pending = [progress = call.progress, limit = *wait](const recorder::ResultPayload& payload) {
            progress->update("Recording", std::string(recorder::automation_session_state::rawValue(payload.state)),
                             limit);
        };
    return call.session.waitForResult(*session, *wait, call.cancel, pending).toJSON();
}

// Built at the first use, not at start-up: a host waits for the initialize reply first.
std::vector<Tool> build() {
    const JSON noProperties = schema(JSON(JSON::Object{}));
    const JSON sessionID = JSON::object({{"type", "string"}});
    return {
        {{"recorder_capabilities",
          "Describe the Lumora app: whether local automation is enabled, whether screen-recording permission and "
          "first-run setup are complete, supported sources, limits, and any active session. Call this first.",
          noProperties, readOnly("Recorder capabilities")},
         capabilities},
        {{"recorder_list_displays",
          "List connected displays with the IDs required by recorder_start_recording. IDs are only valid until a "
          "display is disconnected or the app restarts; the first entry is the default display.",
          noProperties, readOnly("List displays")},
         listDisplays},
        {{"recorder_start_recording",
          "Start recording one display to a local MP4 (H.264, up to 1080p/30fps, saved in the user's chosen folder). "
          "Returns a session receipt; capture is confirmed only when status reports 'recording'. The recording "
          "continues in the app even if this client disconnects, until stopped or the duration limit (default 3600 s) "
          "is reached. The user always sees a visible recording indicator and can stop from the app.",
          schema(JSON::object({
                     {"displayId",
                      JSON::object({{"type", "string"}, {"description", "Display ID from recorder_list_displays."}})},
                     {"durationSeconds",
                      JSON::object({{"type", "integer"},
                                    {"minimum", 1},
                                    {"maximum", 3600},
                                    {"description", "Optional automatic stop after this many seconds of capture."}})},
                     {"systemAudio",
                      JSON::object({{"type", "boolean"}, {"description", "Include system audio (default false)."}})},
                 }),
                 JSON::array({"displayId"})),
          changesState("Start recording", false)},
         startRecording},
        {{"recorder_recording_status",
          "Report the current recording state. With sessionId, report that automated session (state and elapsed "
          "seconds); without it, report whether any recording (manual or automated) is active.",
          schema(JSON::object({{"sessionId", sessionID}})), readOnly("Recording status")},
         recordingStatus},
        {{"recorder_stop_recording",
          "Stop an automated recording session and begin saving. Only sessions started through automation can be "
          "stopped here; the user's own recordings cannot. Safe to call more than once.",
          schema(JSON::object({{"sessionId", sessionID}}), JSON::array({"sessionId"})),
          changesState("Stop recording", true)},
         stopRecording},
        {{"recorder_recording_result",
          "Fetch the outcome of an automated session. A saved result includes the local file path, duration, "
          "dimensions, size, and warnings. Set waitSeconds to block (polling once per second) until the session "
          "finishes or the wait expires.",
          schema(
              JSON::object({{"sessionId", sessionID},
                            {"waitSeconds", JSON::object({{"type", "integer"}, {"minimum", 0}, {"maximum", 3600}})}}),
              JSON::array({"sessionId"})),
          readOnly("Recording result")},
         recordingResult},
    };
}

const std::vector<Tool>& rows() {
    static const std::vector<Tool> built = build();
    return built;
}

}  // namespace

std::span<const Tool> table() { return rows(); }

const Tool* find(std::string_view name) {
    const auto& rows = ToolCatalogue::rows();
    const auto found =
        std::find_if(rows.begin(), rows.end(), [&](const Tool& row) { return row.listing.name == name; });
    return found == rows.end() ? nullptr : &*found;
}

std::vector<mcp::MCPTool> tools() {
    std::vector<mcp::MCPTool> listings;
    for (const auto& row : rows()) listings.push_back(row.listing);
    return listings;
}

}  // namespace quillon::ToolCatalogue
