#include "Quillon/ToolCatalogue.h"

#include <gtest/gtest.h>

#include <set>

using mcp::JSON;

namespace {

// The whole catalogue as "tools/list" writes it (keys sorted), typed out from the agreed texts.
const char* expectedListing =
    R"([{"annotations":{"openWorldHint":false,"readOnlyHint":true,"title":"Recorder capabilities"},)"
    R"("description":"Describe the Lumora app: whether local automation is enabled, whether screen-recording permission and first-run setup are complete, supported sources, limits, and any active session. Call this first.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"recorder_capabilities"},)"
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true,"title":"List displays"},)"
    R"("description":"List connected displays with the IDs required by recorder_start_recording. IDs are only valid until a display is disconnected or the app restarts; the first entry is the default display.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"recorder_list_displays"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false,"title":"Start recording"},)"
    R"("description":"Start recording one display to a local MP4 (H.264, up to 1080p/30fps, saved in the user's chosen folder). Returns a session receipt; capture is confirmed only when status reports 'recording'. The recording continues in the app even if this client disconnects, until stopped or the duration limit (default 3600 s) is reached. The user always sees a visible recording indicator and can stop from the app.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{)"
    R"("displayId":{"description":"Display ID from recorder_list_displays.","type":"string"},)"
    R"("durationSeconds":{"description":"Optional automatic stop after this many seconds of capture.","maximum":3600,"minimum":1,"type":"integer"},)"
    R"("systemAudio":{"description":"Include system audio (default false).","type":"boolean"}},)"
    R"("required":["displayId"],"type":"object"},"name":"recorder_start_recording"},)"
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true,"title":"Recording status"},)"
    R"("description":"Report the current recording state. With sessionId, report that automated session (state and elapsed seconds); without it, report whether any recording (manual or automated) is active.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"type":"string"}},"type":"object"},"name":"recorder_recording_status"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":false,"title":"Stop recording"},)"
    R"("description":"Stop an automated recording session and begin saving. Only sessions started through automation can be stopped here; the user's own recordings cannot. Safe to call more than once.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"type":"string"}},"required":["sessionId"],"type":"object"},"name":"recorder_stop_recording"},)"
    R"({"annotations":{"openWorldHint":false,"readOnlyHint":true,"title":"Recording result"},)"
    R"("description":"Fetch the outcome of an automated session. A saved result includes the local file path, duration, dimensions, size, and warnings. Set waitSeconds to block (polling once per second) until the session finishes or the wait expires.",)"
    R"("inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"type":"string"},"waitSeconds":{"maximum":3600,"minimum":0,"type":"integer"}},"required":["sessionId"],"type":"object"},"name":"recorder_recording_result"}])";

TEST(ToolCatalogue, ListsTheSixToolsByteForByte) {
    JSON::Array listed;
    for (const auto& tool : quillon::ToolCatalogue::tools()) listed.push_back(tool.listed());
    EXPECT_EQ(JSON(listed).serialized(), expectedListing);
}

TEST(ToolCatalogue, EveryToolHasFourMembersAndUniqueName) {
    std::set<std::string> names;
    for (const auto& tool : quillon::ToolCatalogue::tools()) {
        EXPECT_TRUE(tool.annotations.has_value()) << tool.name;
        EXPECT_EQ(tool.listed().objectValue()->size(), 4u) << tool.name;
        EXPECT_TRUE(tool.name.starts_with("recorder_"));
        names.insert(tool.name);
    }
    EXPECT_EQ(names.size(), 6u);
}

}  // namespace
