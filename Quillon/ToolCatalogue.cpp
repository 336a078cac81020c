#include "Quillon/ToolCatalogue.h"

namespace quillon::ToolCatalogue {
namespace {

using mcp::JSON;

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

const JSON sessionID = JSON::object({{"type", "string"}});

}  // namespace

std::vector<mcp::MCPTool> tools() {
    return {
        {std::string(capabilities),
         "Describe the Lumora app: whether local automation is enabled, whether screen-recording permission and "
         "first-run setup are complete, supported sources, limits, and any active session. Call this first.",
         schema(JSON(JSON::Object{})), readOnly("Recorder capabilities")},
        {std::string(listDisplays),
         "List connected displays with the IDs required by recorder_start_recording. IDs are only valid until a "
         "display is disconnected or the app restarts; the first entry is the default display.",
         schema(JSON(JSON::Object{})), readOnly("List displays")},
        {std::string(startRecording),
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
        {std::string(recordingStatus),
         "Report the current recording state. With sessionId, report that automated session (state and elapsed "
         "seconds); without it, report whether any recording (manual or automated) is active.",
         schema(JSON::object({{"sessionId", sessionID}})), readOnly("Recording status")},
        {std::string(stopRecording),
         "Stop an automated recording session and begin saving. Only sessions started through automation can be "
         "stopped here; the user's own recordings cannot. Safe to call more than once.",
         schema(JSON::object({{"sessionId", sessionID}}), JSON::array({"sessionId"})),
         changesState("Stop recording", true)},
        {std::string(recordingResult),
         "Fetch the outcome of an automated session. A saved result includes the local file path, duration, "
         "dimensions, size, and warnings. Set waitSeconds to block (polling once per second) until the session "
         "finishes or the wait expires.",
         schema(JSON::object({{"sessionId", sessionID},
                              {"waitSeconds", JSON::object({{"type", "integer"}, {"minimum", 0}, {"maximum", 3600}})}}),
                JSON::array({"sessionId"})),
         readOnly("Recording result")},
    };
}

}  // namespace quillon::ToolCatalogue
